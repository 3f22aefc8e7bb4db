# Sourced by the scripts: installs the Debian packages that are missing.
ensure_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  echo "== installing ${missing[*]}"
  local sudo=()
  [[ $(id -u) -ne 0 ]] && sudo=(sudo)
  # Packages of another architecture (wine32:i386) need it enabled before the
  # package lists are fetched.
  local arch
  for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/.*:\(.*\)$/\1/p' | sort -u); do
    dpkg --print-foreign-architectures | grep -qx "$arch" ||
      "${sudo[@]}" dpkg --add-architecture "$arch"
  done
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "${missing[@]}"
}
