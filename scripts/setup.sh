#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Does nothing when everything is already present.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang pkg-config
  libpcre2-dev libxml2-dev libgtest-dev libbenchmark-dev libicu-dev
  openjdk-17-jdk-headless python3 libxml2-utils bzip2
  wamerican unicode-data python3-num2words festlex-poslex
  pocketsphinx-en-us festlex-cmu libmarisa-dev libespeak-ng-dev
  python3-numpy libhyphen-dev hyphen-en-us
  bible-kjv bible-kjv-text fortunes-de fortunes-br fortunes
  mecab mecab-ipadic mecab-ipadic-utf8 manpages-ja
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
