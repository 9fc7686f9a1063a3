# Sourced by deps.sh and debian13.sh. apt_mirror SUITE prints the address this
# machine's apt takes SUITE from, as apt itself reads its sources (sources.list
# lines and .sources files alike), so that a local mirror or a caching proxy is
# used as it is for every other package. It fails, naming where to add one,
# when apt has no source for SUITE.
apt_mirror() {
  local uri list parts
  uri=$(apt-get indextargets --format '$(REPO_URI)' "Release: $1" 'Target-Of: deb' | head -n 1)
  if [ -z "$uri" ]; then
    eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
    echo "${0##*/}: apt has no source for $1; add Debian's archive for $1 to $list or to a" \
      ".sources file in $parts" >&2
    return 1
  fi
  printf '%s\n' "${uri%/}"
}
