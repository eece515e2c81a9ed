#!/bin/sh
# Installs the Debian packages that stillray needs, when any is missing: directly as root,
# otherwise through sudo. "run" (the default) is what building and running the program, the
# packed program and the snapshot tool need; "test" adds what the tests and the benchmark need.
set -eu

run_packages="
cmake g++ make pkg-config binutils lld liblzma-dev glslang-tools
libgtk-3-dev libgl-dev libegl-dev libgl1-mesa-dri libegl-mesa0 libpng-dev
"
# GoogleTest, the X11 client libraries of the desktop harness, the display servers it drives,
# xzcat, which the packed file's xzcat way runs, and the headless browser that opens the size
# report's page.
test_packages="
libgtest-dev libgmock-dev libx11-dev libxtst-dev libxfixes-dev xz-utils
xvfb openbox weston chromium-headless-shell
"

case "${1:-run}" in
    run) packages=$run_packages ;;
    test) packages="$run_packages $test_packages" ;;
    *)
        echo "usage: $0 [run|test]" >&2
        exit 2
        ;;
esac

missing=""
for package in $packages; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing="$missing $package"
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
if [ "$(id -u)" -eq 0 ]; then
    sudo=""
else
    sudo="sudo"
fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q $missing
