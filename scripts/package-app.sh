#!/usr/bin/env bash
# Builds a Debian package of the web application in DIR (the folder of its
# capacitor.config.json) under build/packages/, run by the installed shell:
#   scripts/package-app.sh DIR
# The configuration is read by the shell itself (halden-app --app DIR
# --print-config: $HALDEN_APP if executable, else build/default/App/halden-app
# if built, else halden-app on PATH); a configuration it refuses stops the
# script with its message and status 2. The package, NAME being the appName
# in lower case with every other character than a letter or digit made "-":
#   /usr/share/NAME/           capacitor.config.json, its "webDir" (and
#                              "linux.icon") rewritten to the copy in www/
#   /usr/bin/NAME              exec halden-app --app /usr/share/NAME "$@"
#   /usr/share/man/man1/NAME.1.gz
#   /usr/share/applications/APPID.desktop   the URL schemes' handler
#   /usr/share/icons/hicolor/.../apps/APPID.{svg,png}  linux.icon, else the
#                              shell's own icon
#   /usr/share/metainfo/APPID.metainfo.xml
#   /usr/share/doc/NAME/copyright, changelog.gz
# Version linux.version (a native package), Architecture all, depending on
# the shell this tree builds or a later one. Maintainer: linux.maintainer,
# else $DEBFULLNAME <$DEBEMAIL>, else "APPNAME developers" at the appId's
# domain. The changelog's and the release's date are $SOURCE_DATE_EPOCH's,
# else now. The path of the .deb is printed on standard output.
#
# Lintian (scripts/check-packages.sh runs it on the example application)
# reports no error and no warning. Two of its notes (-I) are left:
#   desktop-entry-lacks-keywords-entry: the configuration names no search
#     words for the application, and none are made up for it.
#   package-contains-documentation-outside-usr-share-doc: the application's
#     own pages (www/index.html) are what it runs, not documentation.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

die() { echo "package-app: $*" >&2; exit 1; }
(($# == 1)) || { echo "usage: scripts/package-app.sh DIR" >&2; exit 2; }
app_dir=$1
[[ -d $app_dir ]] || die "$app_dir is not a folder"

shell=${HALDEN_APP:-build/default/App/halden-app}
if [[ ! -x $shell ]]; then
  shell=$(command -v halden-app) || die "no halden-app: build it, set HALDEN_APP or install the shell"
fi

status=0
config=$("$shell" --app "$app_dir" --print-config) || status=$?
# The shell has said what is wrong with the configuration.
((status == 0)) || exit "$status"

# The configuration's fields, one "key<TAB>value" line each (the shell has
# refused control characters, so no value holds a tab or a line break).
declare -A c
# shellcheck disable=SC2016 # the program is JavaScript
while IFS=$'\t' read -r key value; do
  c[$key]=$value
done < <(node -e '
  const c = JSON.parse(process.argv[1]);
  const l = c.linux;
  const fields = {appId: c.appId, appName: c.appName, webDir: c.webDir, version: l.version,
                  icon: l.icon, summary: l.summary, maintainer: l.maintainer,
                  schemes: l.schemes.join(" ")};
  for (const [k, v] of Object.entries(fields)) console.log(`${k}\t${v}`);
' "$config")
app_id=${c[appId]}
app_name=${c[appName]}
version=${c[version]}
summary=${c[summary]}

# Letters with accents lose them (Ä -> A) first.
ascii=$(printf '%s' "$app_name" | LC_ALL=C.UTF-8 iconv -f UTF-8 -t ASCII//TRANSLIT 2>/dev/null) || ascii=$app_name
name=$(printf '%s' "$ascii" | LC_ALL=C tr '[:upper:]' '[:lower:]' | sed -E 's/[^a-z0-9]+/-/g; s/^-+//; s/-+$//')
[[ $name =~ ^[a-z0-9][a-z0-9.+-]+$ ]] \
  || die "the appName \"$app_name\" makes no Debian package name (\"$name\"): it needs two letters or digits"
dpkg --validate-version "$version" 2>/dev/null || die "linux.version \"$version\" is not a Debian version"
# A version with a hyphen has a Debian revision: its changelog is
# changelog.Debian.gz. Without one the package is native: changelog.gz.
if [[ $version == *-* ]]; then changelog=changelog.Debian.gz; else changelog=changelog.gz; fi

maintainer=${c[maintainer]}
if [[ -z $maintainer ]]; then
  if [[ -n ${DEBEMAIL:-} ]]; then
    maintainer="${DEBFULLNAME:-${app_name//,/} developers} <$DEBEMAIL>"
  else
    # org.example.Notes -> example.org
    domain=$(printf '%s' "$app_id" | awk -F. '{ for (i = NF - 1; i >= 1; --i) printf "%s%s", $i, (i > 1 ? "." : "") }')
    maintainer="${app_name//,/} developers <$name@${domain,,}>"
  fi
  echo "package-app: no linux.maintainer, so the maintainer is $maintainer" >&2
fi
address='^[^<>]+ <[^<> ]+@[^<> ]+>$'
[[ $maintainer =~ $address ]] \
  || die "linux.maintainer \"$maintainer\" is not \"Name <address>\""
developer=${maintainer% <*}

# The shell's package version: the project's, with the packages' revision.
shell_version=$(sed -nE 's/^project\(HaldenAnalytics VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
shell_revision=$(sed -nE 's/^set\(HALDEN_DEB_REVISION ([0-9]+)\)/\1/p' cmake/Packaging.cmake)
[[ -n $shell_version && -n $shell_revision ]] || die "cannot read the shell's version from CMakeLists.txt and cmake/Packaging.cmake"
shell_version=$shell_version-$shell_revision

if [[ -n ${SOURCE_DATE_EPOCH:-} ]]; then when=(-d "@$SOURCE_DATE_EPOCH"); else when=(); fi
changelog_date=$(date -u -R "${when[@]}")
release_date=$(date -u +%F "${when[@]}")
man_date=$(date -u '+%B %Y' "${when[@]}")
year=$(date -u +%Y "${when[@]}")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
umask 022
tree=$work/tree
share=$tree/usr/share/$name
mkdir -p "$share" "$tree/usr/bin" "$tree/usr/share/man/man1" "$tree/usr/share/applications" \
  "$tree/usr/share/metainfo" "$tree/usr/share/doc/$name" "$tree/DEBIAN"

# The web application, and its configuration pointing at the copy.
mkdir "$share/www"
cp -RL --no-preserve=mode,ownership "${c[webDir]}/." "$share/www/"
icon=${c[icon]}
icon_key=$(node -e '
  const path = require("path");
  const [webDir, icon] = process.argv.slice(1);
  if (!icon) process.exit(0);
  const inside = path.relative(webDir, icon);
  console.log(inside && !inside.startsWith("..") && !path.isAbsolute(inside)
              ? path.posix.join("www", inside) : "icon" + path.extname(icon).toLowerCase());
' "${c[webDir]}" "$icon")
if [[ -n $icon_key && $icon_key != www/* ]]; then cp -L "$icon" "$share/$icon_key"; fi
node -e '
  const fs = require("fs");
  const [from, to, icon] = process.argv.slice(1);
  const config = JSON.parse(fs.readFileSync(from, "utf8"));
  config.webDir = "www";
  if (icon) config.linux.icon = icon;
  fs.writeFileSync(to, JSON.stringify(config, null, 2) + "\n");
' "$app_dir/capacitor.config.json" "$share/capacitor.config.json" "$icon_key"
# What the shell makes of the copy is what it made of the original, but for
# the folders.
copied=$("$shell" --app "$share" --print-config) || die "the shell refuses the packaged configuration"
node -e '
  const [a, b] = process.argv.slice(1);
  const norm = (text) => {
    const c = JSON.parse(text);
    c.webDir = ""; c.linux.icon = c.linux.icon ? "set" : "";
    return JSON.stringify(c);
  };
  if (norm(a) !== norm(b)) process.exit(1);
' "$config" "$copied" || die "the packaged configuration reads differently from the original"

# The launcher and its manual page.
cat >"$tree/usr/bin/$name" <<EOF
#!/bin/sh
# $app_name, run by the HaldenAnalytics shell.
exec halden-app --app /usr/share/$name "\$@"
EOF
roff() { # text -> roff, with no request or escape of its own
  local s=${1//\\/\\e}
  s=${s//-/\\-}
  [[ $s == [.\']* ]] && s="\\&$s"
  printf '%s' "$s"
}
{
  echo ".TH $(roff "${name^^}") 1 \"$man_date\" \"$(roff "$app_name") $(roff "$version")\" \"User Commands\""
  echo ".SH NAME"
  echo "$(roff "$name") \\- $(roff "$summary")"
  echo ".SH SYNOPSIS"
  echo ".B $(roff "$name")"
  echo ".RI [ OPTION ...]"
  echo ".RI [ URL ...]"
  echo ".SH DESCRIPTION"
  echo ".B $(roff "$name")"
  echo "runs the web application $(roff "$app_name") in the HaldenAnalytics shell:"
  echo ".B halden-app \\-\\-app /usr/share/$(roff "$name")"
  echo "with the options and URLs given."
  if [[ -n ${c[schemes]} ]]; then
    echo "The installed desktop entry makes it the handler of"
    first=1
    for scheme in ${c[schemes]}; do
      ((first)) || echo "and"
      echo ".B $(roff "$scheme"):"
      first=0
    done
    echo "URLs."
  fi
  echo ".SH OPTIONS"
  echo "Those of"
  echo ".BR halden-app (1),"
  echo "such as"
  echo ".B \\-\\-headless"
  echo "(the script bridge on standard input and output, no window)."
  echo ".SH SEE ALSO"
  echo ".BR halden-app (1)"
} >"$work/$name.1"
gzip -9n -c "$work/$name.1" >"$tree/usr/share/man/man1/$name.1.gz"

# The desktop entry.
desktop() { local s=${1//\\/\\\\}; printf '%s' "$s"; }
{
  echo "[Desktop Entry]"
  echo "Type=Application"
  echo "Name=$(desktop "$app_name")"
  [[ $summary == "$app_name" ]] || echo "Comment=$(desktop "$summary")"
  echo "Exec=$name %u"
  echo "Icon=$app_id"
  echo "Terminal=false"
  echo "Categories=Network;"
  if [[ -n ${c[schemes]} ]]; then
    printf 'MimeType='
    for scheme in ${c[schemes]}; do printf 'x-scheme-handler/%s;' "$scheme"; done
    echo
  fi
} >"$tree/usr/share/applications/$app_id.desktop"

# The icon: SVG scalable, PNG at its size (square), else the shell's.
[[ -n $icon ]] || icon=App/halden-app.svg
icon_source=$icon
kind=$(file -bL "$icon")
case $kind in
  "SVG "*)
    icon_to=usr/share/icons/hicolor/scalable/apps/$app_id.svg
    ;;
  "PNG image data, "*)
    [[ $kind =~ ^PNG\ image\ data,\ ([0-9]+)\ x\ ([0-9]+), ]] || die "linux.icon $icon: cannot read its size ($kind)"
    ((BASH_REMATCH[1] == BASH_REMATCH[2])) || die "linux.icon $icon is not square (${BASH_REMATCH[1]}x${BASH_REMATCH[2]})"
    icon_to=usr/share/icons/hicolor/${BASH_REMATCH[1]}x${BASH_REMATCH[1]}/apps/$app_id.png
    ;;
  *) die "linux.icon $icon is neither SVG nor PNG ($kind)" ;;
esac
mkdir -p "$tree/$(dirname "$icon_to")"
cp -L "$icon" "$tree/$icon_to"

# The AppStream metainfo.
xml() { local s=${1//&/&amp;}; s=${s//</&lt;}; s=${s//>/&gt;}; s=${s//\"/&quot;}; printf '%s' "$s"; }
# The summary defaults to the appName, which is no synopsis for Debian.
synopsis=$summary
[[ $summary != "$app_name" ]] || synopsis="web application run by the HaldenAnalytics shell"
long="$app_name is a web application run by the HaldenAnalytics shell, halden-app, in a WebKitGTK window. Its pages reach the analytics client through the shell's script bridge, and the hits they make are kept on disk until the collection service has taken them."
{
  echo '<?xml version="1.0" encoding="UTF-8"?>'
  echo '<component type="desktop-application">'
  echo "  <id>$(xml "$app_id")</id>"
  echo '  <metadata_license>CC0-1.0</metadata_license>'
  echo '  <project_license>LicenseRef-proprietary</project_license>'
  echo "  <name>$(xml "$app_name")</name>"
  echo "  <summary>$(xml "$summary")</summary>"
  echo '  <description>'
  echo "    <p>$(xml "$long")</p>"
  echo '  </description>'
  echo "  <launchable type=\"desktop-id\">$(xml "$app_id").desktop</launchable>"
  echo "  <developer_name>$(xml "$developer")</developer_name>"
  echo '  <categories>'
  echo '    <category>Network</category>'
  echo '  </categories>'
  echo '  <provides>'
  echo "    <binary>$name</binary>"
  echo '  </provides>'
  echo '  <content_rating type="oars-1.1"/>'
  echo '  <releases>'
  echo "    <release version=\"$(xml "$version")\" date=\"$release_date\"/>"
  echo '  </releases>'
  echo '</component>'
} >"$tree/usr/share/metainfo/$app_id.metainfo.xml"

# Copyright (machine-readable) and changelog.
{
  echo "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
  echo "Upstream-Name: $app_name"
  echo "Upstream-Contact: $maintainer"
  echo
  echo "Files: *"
  echo "Copyright: $year $developer"
  echo "License: LicenseRef-proprietary"
  echo " The application's terms are its authors': this package names no licence"
  echo " of its own."
  if [[ $icon_source == App/halden-app.svg ]]; then
    echo
    echo "Files: $icon_to"
    echo "Copyright: HaldenAnalytics developers"
    echo "License: Expat"
    echo "Comment: The HaldenAnalytics shell's icon, for an application that has none."
    echo
    awk 'BEGIN { RS = "" } /^License: Expat\n/ { print; exit }' packaging/copyright
  fi
} >"$tree/usr/share/doc/$name/copyright"
cat >"$work/changelog" <<EOF
$name ($version) unstable; urgency=medium

  * $app_name $version, packaged to run in the HaldenAnalytics shell
    (halden-app).

 -- $maintainer  $changelog_date
EOF
gzip -9n -c "$work/changelog" >"$tree/usr/share/doc/$name/$changelog"

# Modes: directories 0755, files 0644, the launcher 0755.
find "$tree" -type d -exec chmod 0755 {} +
find "$tree" -type f -exec chmod 0644 {} +
chmod 0755 "$tree/usr/bin/$name"

installed_size=$(find "$tree" -path "$tree/DEBIAN" -prune -o -type f -printf '%s\n' \
  | awk '{ kb += int(($1 + 1023) / 1024) } END { print kb + 0 }')
cat >"$tree/DEBIAN/control" <<EOF
Package: $name
Version: $version
Architecture: all
Maintainer: $maintainer
Installed-Size: $installed_size
Depends: halden-app (>= $shell_version)
Section: web
Priority: optional
Description: $synopsis
$(fold -s -w 72 <<<"$long" | sed -E 's/ +$//; s/^/ /')
EOF
(cd "$tree" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) >"$tree/DEBIAN/md5sums"
chmod 0644 "$tree/DEBIAN/control" "$tree/DEBIAN/md5sums"

mkdir -p build/packages
deb=build/packages/${name}_${version}_all.deb
dpkg-deb --root-owner-group -Zxz --build "$tree" "$deb" >/dev/null
echo "$root/$deb"
