#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Renders each manual page given with every warning on, through mandoc and through man-db's
# groff, and fails on any message at all; then reads the rendered text as a reader sees it:
# every diagnostic the page quotes must read there as the tools print it.
#   man_lint.sh PAGE...
set -uo pipefail
SKIP=77
if ! command -v mandoc >/dev/null && ! command -v man >/dev/null; then
  echo "SKIPPED: neither mandoc nor man is installed (Debian: mandoc, man-db)"
  exit $SKIP
fi

failed=0
# check WHAT COMMAND...: the command's standard error, and its standard output too when it is
# mandoc's lint (which prints its messages there), must stay empty.
check() {
  local what=$1; shift
  local messages status
  if [[ $1 == mandoc ]]; then messages=$("$@" 2>&1); else messages=$("$@" 2>&1 >/dev/null); fi
  status=$?
  if ((status != 0)) || [[ -n $messages ]]; then
    echo "FAILED: $what (status $status)"
    [[ -n $messages ]] && echo "    ${messages//$'\n'/$'\n    '}"
    failed=1
  fi
}
# The texts the tools print: the operations they name, the C library's text for each error
# number (the C locale's, which the pages quote), and Windows' texts that the pages quote.
diagnostics() {
  printf '%s\n' setlocale GetFullPathNameW CreateFile GetStdHandle ReadFile WriteFile DeleteFileW
  LC_ALL=C perl -e 'for (1 .. 255) { $! = $_; my $t = "$!"; print "$t\n" unless $t =~ /^Unknown error/ }'
  printf '%s\n' 'Access is denied.' 'The system cannot find the file specified.' \
    'The process cannot access the file because it is being used by another process.' \
    'The filename, directory name, or volume label syntax is incorrect.'
}
# rendered PAGE: the page as a reader sees it, one long line a paragraph, no overstrikes.
rendered() {
  if command -v mandoc >/dev/null; then
    mandoc -T utf8 -O width=1000 "$1"
  else
    env LC_ALL=C.UTF-8 MANWIDTH=1000 man -l "$1"
  fi 2>/dev/null | perl -pe 's/.\x08//g'
}
# quotes_check PAGE: each quotation of the rendered page that is not a diagnostic but a part of
# one, a diagnostic in another case, or Wine's wording of a Windows text, fails; so does each
# diagnostic that the source quotes (.Dq) more often than the rendered page quotes it (mdoc
# took a word of it for a macro, as it takes "No").
quotes_check() {
  local problems
  problems=$(perl -CSDA -e '
    my ($page, $source, $known) = @ARGV;
    local $/;
    open my $r, "<:encoding(UTF-8)", $page or die; my $text = <$r>;
    open my $s, "<", $source or die; my $src = <$s>;
    open my $k, "<", $known or die; my @d = split /\n/, <$k>;
    my %is = map { $_ => 1 } @d;
    my %wine = ("Access denied" => "Access is denied.", "Sharing violation" =>
      "The process cannot access the file because it is being used by another process.");
    $text =~ s/\s+/ /g;
    my %quoted;
    for my $q ($text =~ /\x{201c}([^\x{201d}]*)\x{201d}/g) {
      $quoted{$q}++;
      next if $is{$q};
      (my $bare = $q) =~ s/\.$//;
      if ($wine{$bare}) { print "quotes \x{201c}$q\x{201d}, which is Wine\x{2019}s wording: Windows prints \x{201c}$wine{$bare}\x{201d}\n"; next }
      for my $d (@d) {
        next unless $d =~ /\Q $q\E$/ || $d =~ /^\Q$q \E/ || lc $d eq lc $q;
        print "quotes \x{201c}$q\x{201d} where the tools print \x{201c}$d\x{201d}\n";
        last;
      }
    }
    (my $plain = $src) =~ s/\\&//g;
    my %wanted;
    for (split /\n/, $plain) {
      next unless /^\..*?\bDq (.*)$/;
      (my $arg = $1) =~ s/(?: [.,;:)]+)+$//;
      $wanted{$arg}++;
    }
    for my $d (@d) {
      my $wanted = $wanted{$d} // 0;
      my $got = $quoted{$d} // 0;
      print "the source quotes \x{201c}$d\x{201d} $wanted times, the rendered page $got\n" if $got < $wanted;
    }' "$2" "$1" "$3")
  if [[ -n $problems ]]; then
    echo "FAILED: the rendered text of $1"
    echo "    ${problems//$'\n'/$'\n    '}"
    failed=1
  fi
}
known=$(mktemp)
trap 'rm -f "$known" "$known.page"' EXIT
diagnostics >"$known"
for page in "$@"; do
  if ! rendered "$page" >"$known.page" || [[ ! -s $known.page ]]; then
    echo "FAILED: $page rendered to nothing"
    failed=1
  else
    quotes_check "$page" "$known.page" "$known"
  fi
  if command -v mandoc >/dev/null; then
    check "mandoc -T lint -W warning $page" mandoc -T lint -W warning "$page"
  fi
  if command -v man >/dev/null; then
    check "man --warnings=w -l $page" env LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -l "$page"
  fi
done
((failed)) && exit 1
echo "rendered without a warning, each diagnostic quoted as the tools print it: $*"
