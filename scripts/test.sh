#!/usr/bin/env bash
# Builds everything and runs the whole test suite. Run as root on Debian 12 from the checkout.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test
cmake --preset native >/dev/null
cmake --build --preset native
cmake --preset mingw >/dev/null
cmake --build --preset mingw
# Everything is installed above, so no end-to-end test may skip for want of Wine, the Windows
# build or an NTFS volume: each such skip is a failure here.
export OSTRAKIT_E2E_REQUIRE=1
ctest --preset native
bash scripts/package-check.sh
# The whole suite again with AddressSanitizer and UBSan in tools and tests: any report fails it.
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan
# The name handling under libFuzzer for a bounded time.
bash scripts/fuzz.sh 60
