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
  # apt and debconf talk on both streams even with -qq (debconf notes that it delays the set-up
  # without apt-utils): everything goes to a log that is shown only when the install fails.
  local log status=0
  log=$(mktemp)
  export DEBIAN_FRONTEND=noninteractive DEBCONF_NONINTERACTIVE_SEEN=true
  if [ "$APT_UPDATED" -eq 0 ]; then
    apt-get update -qq >"$log" 2>&1 && APT_UPDATED=1
  fi
  apt-get install -y -qq -o Dpkg::Use-Pty=0 "${missing[@]}" >>"$log" 2>&1 ||
    status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 20 "$log"
    echo "note: installing ${missing[*]} failed; skipping what needs them"
  fi
  rm -f "$log"
  return "$status"
}

# junit_skips FILE: one line "NAME: REASON" for every test that a ctest JUnit file
# (ctest --output-junit) records as skipped. The reason is GoogleTest's GTEST_SKIP message
# (the line after "...: Skipped"), else the test's last line of output, else ctest's own note.
junit_skips() {
  awk '
    function attr(line, key,   m) {
      if (match(line, key "=\"[^\"]*\"")) return substr(line, RSTART + length(key) + 2, RLENGTH - length(key) - 3)
      return ""
    }
    function unescape(s) {
      gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s); gsub(/&apos;/, "\047", s)
      gsub(/&amp;/, "\\&", s)
      return s
    }
    function output_line(s) {
      s = unescape(s)
      if (prev ~ /: Skipped$/ && reason == "" && s !~ /^\[  SKIPPED \]/) reason = s
      if (s != "" && s !~ /^\[/) last = s
      prev = s
    }
    /<testcase / { name = unescape(attr($0, "name")); status = attr($0, "status"); note = ""
                   reason = ""; last = ""; prev = ""; in_out = 0 }
    /<skipped / { note = unescape(attr($0, "message")) }
    {
      line = $0
      if (!in_out && index(line, "<system-out>")) { in_out = 1; line = substr(line, index(line, "<system-out>") + 12) }
      if (in_out) {
        if (index(line, "</system-out>")) { output_line(substr(line, 1, index(line, "</system-out>") - 1)); in_out = 0 }
        else output_line(line)
      }
    }
    /<\/testcase>/ {
      if (status == "notrun") {
        r = reason != "" ? reason : (last != "" ? last : note)
        print name ": " r
      }
    }
  ' "$1"
}
