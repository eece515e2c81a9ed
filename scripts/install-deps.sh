#!/bin/sh
# Installs the Debian 12 packages that building, running and testing stillray need, when any
# is missing: directly as root, otherwise through sudo.
set -eu

packages="
cmake g++ make pkg-config binutils xz-utils liblzma-dev
libgtk-3-dev libgl-dev libegl-dev libgl1-mesa-dri libegl-mesa0 libpng-dev
libgtest-dev libx11-dev libxtst-dev libxfixes-dev
xvfb openbox weston
"

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
