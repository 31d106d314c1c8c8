#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks wdk/, the driver's project for the Windows Driver Kit and its INF, as far as they can be checked
# without the kit:  wdk_test.sh SRC
# - the project builds every logic source and header, and nothing else (no sim/, no platform/), for ARM
#   and ARM64, against the KMDF version that the load-time layer binds;
# - the INF names that KMDF version, the class extension the driver binds, and the service whose
#   registry path DriverEntry is given; every section and string it refers to exists.
set -uo pipefail
src=${1:?usage: wdk_test.sh SRC}
project=$src/wdk/vibra.vcxproj
inf=$src/wdk/vibra.inf
loader=$src/sim/loader.cpp
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
for file in "$project" "$inf" "$loader"; do [[ -f $file ]] || { echo "FAIL: missing $file" >&2; exit 1; }; done

# What the load-time layer binds, and the service its registry path names.
kmdf=$(grep -oE 'bind KmdfLibrary [0-9]+\.[0-9]+' "$loader" | head -n 1 | sed 's/.* //')
clx=$(grep -oE 'bind [A-Za-z]+ [0-9]+\.[0-9]+' "$loader" | grep -v KmdfLibrary | head -n 1 | cut -d' ' -f2)
service=$(grep -oE 'Services\\\\[A-Za-z0-9_]+' "$loader" | head -n 1 | sed 's/.*\\//')
[[ -n $kmdf && -n $clx && -n $service ]] || { echo "FAIL: cannot read the bindings in $loader" >&2; exit 1; }

# --- the project, its comments left out ---------------------------------------------------------------------
xml=$(awk '{
  line = $0; out = ""
  while (line != "") {
    if (in_comment) { if (i = index(line, "-->")) { line = substr(line, i + 3); in_comment = 0 } else line = "" }
    else if (i = index(line, "<!--")) { out = out substr(line, 1, i - 1); line = substr(line, i + 4); in_comment = 1 }
    else { out = out line; line = "" }
  }
  print out }' "$project")
tag() { grep -oE "<$1>[^<]*</$1>" <<<"$xml" | sed -E "s|</?$1>||g"; }
[[ "$(tag KMDF_VERSION_MAJOR).$(tag KMDF_VERSION_MINOR)" == "$kmdf" ]] ||
  fail "the project builds for KMDF $(tag KMDF_VERSION_MAJOR).$(tag KMDF_VERSION_MINOR), the driver binds $kmdf"
[[ $(tag DriverType) == KMDF && $(tag ConfigurationType) == Driver ]] || fail "the project is not a KMDF driver"
for configuration in Debug Release; do
  for platform in ARM ARM64; do
    grep -qF "<ProjectConfiguration Include=\"$configuration|$platform\">" <<<"$xml" ||
      fail "the project has no $configuration|$platform configuration"
  done
done
listed() { grep -oE "<$1 Include=\"[^\"]+\"" <<<"$xml" | sed -E 's/.*Include="\.\.\\//; s/"$//; s|\\|/|g' | sort; }
logic() { (cd "$src" && find driver device hwn vibration trace -maxdepth 1 -type f -name "*.$1" | sort); }
if [[ $(listed ClCompile) != "$(logic cpp)" ]]; then
  fail "the project's sources are not the logic's:"$'\n'"$(diff <(listed ClCompile) <(logic cpp))"
fi
if [[ $(listed ClInclude) != "$(logic h)" ]]; then
  fail "the project's headers are not the logic's:"$'\n'"$(diff <(listed ClInclude) <(logic h))"
fi
if grep -qE '(sim|platform)[\\/]|[\\/](sim|platform)\b' <<<"$xml"; then
  fail "the project uses sim/ or platform/: the kit's headers stand in for platform/"
fi
target=$(tag TargetName)
grep -qF "<Inf Include=\"$(basename "$inf")\" />" <<<"$xml" || fail "the project does not build $(basename "$inf")"

# --- the INF: one line "section|key|value" per entry, comments out, sections and keys in lower case -------
entries=$(awk '
  { sub(/\r$/, ""); line = $0; sub(/;.*/, "", line); gsub(/^[ \t]+|[ \t]+$/, "", line) }
  line ~ /^\[.*\]$/ { section = tolower(substr(line, 2, length(line) - 2)); print section "|"; next }
  line != "" {
    key = line; value = ""
    if ((i = index(line, "=")) > 0) { key = substr(line, 1, i - 1); value = substr(line, i + 1) }
    gsub(/[ \t]+$/, "", key); gsub(/^[ \t]+/, "", value)
    print section "|" tolower(key) "|" value
  }' "$inf")
value() { grep -iF "$1|$2|" <<<"$entries" | head -n 1 | cut -d'|' -f3-; }
field() { cut -d, -f"$1" <<<"$2" | sed -E 's/^[ \t]+|[ \t]+$//g'; }
has_section() { grep -qixF "$1|" <<<"$entries" || fail "the INF refers to section [$1], which it lacks"; }
for section in version destinationdirs sourcedisksnames sourcedisksfiles manufacturer strings; do
  has_section "$section"
done
grep -qiF "sourcedisksfiles|$target.sys|" <<<"$entries" || fail "the INF does not ship $target.sys"

models=$(value manufacturer "%$(value version provider | tr -d %)%")
[[ -n $models ]] || models=$(grep -i '^manufacturer|.' <<<"$entries" | head -n 1 | cut -d'|' -f3-)
decorations=$(cut -d, -f2- <<<"$models" | tr ',' '\n' | sed -E 's/^[ \t]+|[ \t]+$//g')
for architecture in NTarm NTarm64; do
  grep -qixF "$architecture" <<<"$decorations" || fail "the INF has no models for $architecture"
done
installs=""
for decoration in $decorations; do
  list="$(field 1 "$models").$decoration"
  has_section "$list"
  named=$(grep -i "^$list|" <<<"$entries" | cut -d'|' -f3 | cut -d, -f1 | sed -E 's/[ \t]+$//')
  [[ -n $named ]] || fail "[$list] names no device"
  installs+=$'\n'$named
done
mapfile -t install_sections < <(sed '/^$/d' <<<"$installs" | sort -u)
for install in "${install_sections[@]}"; do
  for suffix in .nt .nt.services .nt.wdf; do has_section "$install$suffix"; done
  copied=$(value "$install.nt" copyfiles)
  [[ -z $copied ]] || has_section "$copied"
  add_service=$(value "$install.nt.services" addservice)
  [[ $(field 1 "$add_service") == "$service" ]] ||
    fail "the INF installs service '$(field 1 "$add_service")'; DriverEntry's registry path names '$service'"
  service_section=$(field 3 "$add_service")
  has_section "$service_section"
  [[ $(value "$service_section" servicebinary) == *"\\$target.sys" ]] || fail "the service does not start $target.sys"
  [[ $(value "$service_section" dependencies) == "$clx" ]] ||
    fail "the service depends on '$(value "$service_section" dependencies)'; the driver binds the class extension $clx"
  kmdf_service=$(value "$install.nt.wdf" kmdfservice)
  [[ $(field 1 "$kmdf_service") == "$service" ]] || fail "KmdfService names another service than $service"
  wdf_section=$(field 2 "$kmdf_service")
  has_section "$wdf_section"
  [[ $(value "$wdf_section" kmdflibraryversion) == "$kmdf" ]] ||
    fail "the INF asks for KMDF $(value "$wdf_section" kmdflibraryversion); the driver binds KMDF $kmdf"
done
# Every %string% the INF uses is defined (%12% and the like are directory ids).
for name in $(grep -v '^strings|' <<<"$entries" | grep -oE '%[A-Za-z_][A-Za-z0-9_.]*%' | tr -d % | sort -u); do
  grep -qiF "strings|$name|" <<<"$entries" || fail "the INF uses %$name%, which [Strings] lacks"
done

if ((failures)); then exit 1; fi
echo "wdk: the project builds the logic's $(logic cpp | wc -l) sources for ARM and ARM64 against KMDF $kmdf;" \
  "the INF installs service $service for KMDF $kmdf and $clx"
