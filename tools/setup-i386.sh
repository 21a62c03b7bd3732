#!/usr/bin/env bash
# Makes sure this machine can run 32-bit x86 Linux programs, which Wine's
# 32-bit loader is. Some kernels are built or booted without 32-bit emulation
# ("32-bit emulation disabled" in the kernel log, every i386 program failing
# with "Exec format error"). On those, i386 programs are run through QEMU's
# user-mode emulator, registered with binfmt_misc. Debian 12's own QEMU (7.2)
# cannot host Wine (it ignores MAP_FIXED_NOREPLACE, and Wine's address-space
# reservation then never ends), so the emulator comes from Debian's
# bookworm-backports, fetched through a private apt state: the system's source
# lists stay as they are. Needs root the first time; a no-op where i386
# programs already run.
set -euo pipefail

sudo_() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# The i386 dynamic loader comes with libc6:i386 (a dependency of wine32).
probe=/lib/ld-linux.so.2
i386_runs() { "$probe" --version >/dev/null 2>&1; }

[ -x "$probe" ] || { echo "setup-i386: $probe is missing (install wine32 first)" >&2; exit 1; }
i386_runs && exit 0

dest=/usr/local/lib/skanowanie
emu=$dest/qemu-i386
entry=/proc/sys/fs/binfmt_misc/skanowanie-i386

if [ ! -x "$emu" ]; then
  state=$(mktemp -d)
  trap 'rm -rf "$state"' EXIT
  mkdir -p "$state"/{lists/partial,cache/archives/partial}
  : >"$state/status"
  uri=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [ -n "$uri" ] || uri=$(awk '/^deb /{print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
  [ -n "$uri" ] || { echo "setup-i386: no Debian source found in the apt configuration" >&2; exit 1; }
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri bookworm-backports main" \
    >"$state/sources.list"
  apt=(-o Dir::Etc::SourceList="$state/sources.list" -o Dir::Etc::SourceParts=/dev/null
       -o Dir::State::Lists="$state/lists" -o Dir::Cache="$state/cache"
       -o Dir::State::Status="$state/status" -o APT::Sandbox::User=root)
  apt-get "${apt[@]}" update -qq
  (cd "$state" && apt-get "${apt[@]}" download -qq qemu-user/bookworm-backports)
  dpkg-deb -x "$state"/qemu-user_*.deb "$state/x"
  sudo_ mkdir -p "$dest"
  sudo_ install -m 755 "$state/x/usr/bin/qemu-i386" "$emu"
fi

if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
  sudo_ mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
# ELF, 32-bit, little-endian, executable or shared object, machine i386. The F
# flag opens the emulator now, so the entry works in any mount namespace.
if [ -e "$entry" ]; then echo -1 | sudo_ tee "$entry" >/dev/null; fi
printf '%s' ':skanowanie-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$emu"':F' \
  | sudo_ tee /proc/sys/fs/binfmt_misc/register >/dev/null

if ! i386_runs; then
  echo "setup-i386: i386 programs still do not run" >&2
  exit 1
fi
echo "setup-i386: this kernel runs no 32-bit code; i386 programs now run through $("$emu" --version | head -1)"
