# Shared by the scripts: finding commands and installing Debian packages when that is possible.

have() { command -v "$1" >/dev/null 2>&1; }

APT_UPDATED=0

# install_packages WHAT PKG...: installs the packages that are not installed yet, if this is a
# root shell with apt-get; otherwise says which are missing and carries on.
install_packages() {
  local what=$1; shift
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ] || ! have apt-get; then
    echo "note: cannot install ${missing[*]} for the $what (needs root and apt-get); skipping what needs them"
    return 1
  fi
  echo "installing for the $what: ${missing[*]}"
  if [ "$APT_UPDATED" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null && APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null ||
    { echo "note: installing ${missing[*]} failed; skipping what needs them"; return 1; }
}
