#!/usr/bin/env bash
# Installs every Debian package the suite needs to build, test and run its demo.
# Idempotent and non-interactive; does nothing when everything is present already.
set -euo pipefail

packages=(
    g++ cmake make pkg-config
    qt6-base-dev qt6-translations-l10n fonts-dejavu-core
    libcurl4-openssl-dev libssl-dev
    libpff-dev libbfio-dev pff-tools zlib1g-dev
    libgmime-3.0-dev
    libqt6sql6-sqlite
    php-cli php-soap php-xml php-sqlite3 php-fpm nginx
    xvfb xauth xdotool stunnel4 openssl curl
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present"
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
