// SPDX-License-Identifier: MIT
// Preloaded into a tool to make the volume under it behave as this machine cannot:
//   OSTRAKIT_VOLUME=ntfs3        fstatfs reports the kernel's ntfs3 driver;
//   OSTRAKIT_VOLUME=full-once    the first attribute set is refused for want of space, as a
//                                full xfs volume did once.
#include <dlfcn.h>
#include <sys/vfs.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool volume_is(const char* kind) {
    const char* volume = std::getenv("OSTRAKIT_VOLUME");
    return volume != nullptr && std::strcmp(volume, kind) == 0;
}

template <class Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fstatfs(int fd, struct statfs* volume) {
    static const auto real_fstatfs = real<int (*)(int, struct statfs*)>("fstatfs");
    const int result = real_fstatfs(fd, volume);
    if (result == 0 && volume_is("ntfs3")) volume->f_type = 0x7366746e;
    return result;
}

extern "C" int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
    static const auto real_fsetxattr =
        real<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr");
    static bool refused = false;
    if (volume_is("full-once") && !refused) {
        refused = true;
        errno = ENOSPC;
        return -1;
    }
    return real_fsetxattr(fd, name, value, size, flags);
}
