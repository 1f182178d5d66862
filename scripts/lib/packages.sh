# shellcheck shell=bash
# Debian packages, installed when missing: the one install function the
# scripts share. Source it from bash.
#
#   install_missing_packages [--quiet] [--no-prompt] CALLER PACKAGE...
#
# Installs the PACKAGEs that aren't installed, as root or through sudo,
# and does nothing at all when every one is there. The package lists are
# brought up to date once per shell, before the first install. CALLER
# starts each message. --quiet keeps apt-get's own output out of standard
# output (for a script whose output is a report); --no-prompt uses sudo
# only where it asks for no password (for a script that runs unattended,
# under ctest, where a prompt would hang it). Returns 1, having said why,
# when the packages can't be installed.

package_installed() {
  # "dpkg -s" also knows packages that were removed but left their
  # configuration behind, so look at the status line, not just the exit code.
  dpkg -s "$1" 2>/dev/null | grep -q '^Status: install ok installed$'
}

package_lists_updated=0

install_missing_packages() {
  local quiet=0 prompt=1
  while (($#)); do
    case $1 in
      --quiet) quiet=1 ;;
      --no-prompt) prompt=0 ;;
      *) break ;;
    esac
    shift
  done
  local caller=$1
  shift

  local missing=() package
  for package in "$@"; do
    package_installed "$package" || missing+=("$package")
  done
  ((${#missing[@]})) || return 0

  local as_root=()
  if [[ $(id -u) -ne 0 ]]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "$caller: these packages are missing: ${missing[*]}" >&2
      echo "$caller: run this script as root (sudo isn't available)" >&2
      return 1
    fi
    as_root=(sudo)
    if ((!prompt)); then
      if ! sudo -n true 2>/dev/null; then
        echo "$caller: these packages are missing: ${missing[*]}" >&2
        echo "$caller: run this script as root (sudo would ask for a" \
          "password)" >&2
        return 1
      fi
      as_root=(sudo -n)
    fi
  fi

  local apt=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get)
  local apt_quiet=()
  if ((quiet)); then
    apt_quiet=(-qq)
  fi
  echo "$caller: installing ${missing[*]}"
  if ((!package_lists_updated)); then
    if ! "${apt[@]}" "${apt_quiet[@]}" update; then
      echo "$caller: apt-get update failed" >&2
      return 1
    fi
    package_lists_updated=1
  fi
  local status=0
  if ((quiet)); then
    "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" \
      >/dev/null || status=$?
  else
    "${apt[@]}" install -y --no-install-recommends "${missing[@]}" ||
      status=$?
  fi
  if ((status != 0)); then
    echo "$caller: couldn't install ${missing[*]}" >&2
    return 1
  fi
}
