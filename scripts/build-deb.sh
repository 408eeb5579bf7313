#!/usr/bin/env bash
# Builds the Debian package from a built tree: installs it into a staging
# root under /usr (stripped), adds the service unit, its settings file, its
# logrotate configuration, the manual page, the web console's files and the
# OpenAPI description, and the package's documentation (the README and its
# docs/ pages), then builds the
# .deb with dpkg-deb. Prints the path of the package.
#   scripts/build-deb.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: build-deb.sh BUILD_DIR}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
version=$(sed -n 's/^project(Quillet VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
arch=$(dpkg --print-architecture)
out=$build/deb
root=$out/quillet_${version}_${arch}
rm -rf "$out"
mkdir -p "$root/DEBIAN"

DESTDIR=$root cmake --install "$build" --prefix /usr --strip >/dev/null
# Only the package's own files: nothing of the build's test helpers.
share=$root/usr/share
install -D -m 644 "$src/packaging/quillet.service" "$root/lib/systemd/system/quillet.service"
install -D -m 640 "$src/packaging/quillet.conf" "$root/etc/quillet/quillet.conf"
install -D -m 644 "$src/packaging/quillet.logrotate" "$root/etc/logrotate.d/quillet"
install -d "$share/man/man1" "$share/doc/quillet" "$share/quillet/console"
gzip -9n < "$src/packaging/quillet.1" > "$share/man/man1/quillet.1.gz"
gzip -9n < "$src/packaging/changelog" > "$share/doc/quillet/changelog.gz"
install -m 644 "$src/packaging/copyright" "$share/doc/quillet/copyright"
install -m 644 "$src/README.md" "$share/doc/quillet/README.md"
# The pages the README links to, beside it as in the source tree.
install -d "$share/doc/quillet/docs"
install -m 644 "$src"/docs/*.md "$src"/docs/*.png "$share/doc/quillet/docs/"
console=$src/tools/quillet/http/console
install -m 644 "$console/index.html" "$console/console.js" "$console/console.css" "$console/favicon.svg" \
  "$share/quillet/console/"
install -m 644 "$console/openapi.json" "$share/quillet/openapi.json"
find "$root" -type d -exec chmod 755 {} +

# Dependencies from the libraries the programs and libraries link.
elves=$(find "$root/usr/bin" "$root/usr/lib" -type f \( -perm -u+x -o -name '*.so*' \))
depends=$(cd "$out" && mkdir -p debian && touch debian/control &&
  dpkg-shlibdeps -O -l"$root/usr/lib" $elves 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p')
rm -rf "$out/debian"

install -m 755 "$src/packaging/postinst" "$src/packaging/postrm" "$root/DEBIAN/"
printf '%s\n' /etc/quillet/quillet.conf /etc/logrotate.d/quillet > "$root/DEBIAN/conffiles"
echo "activate-noawait ldconfig" > "$root/DEBIAN/triggers"
for lib in libquillet libquillet_runtime libquillet_standins; do
  echo "$lib 3 quillet (>= $version)"
done > "$root/DEBIAN/shlibs"
chmod 644 "$root/DEBIAN/"{conffiles,triggers,shlibs}
cat > "$root/DEBIAN/control" <<CONTROL
Package: quillet
Version: $version
Architecture: $arch
Maintainer: Quillet Developers <dev@quillet.invalid>
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: $depends, passwd
Section: net
Priority: optional
Homepage: https://quillet.invalid/
Description: service calls and serialized items in an ERP back end
 Quillet records service calls and serialized items in an ERP back end for
 the service-request layer of a customer service application. This package
 holds the quillet command, its HTTP service with a web console and an
 OpenAPI description, a systemd unit that runs the service as its own user,
 and the libraries, headers and CMake package files for hosts that embed
 Quillet.
CONTROL
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' |
  sort -z | xargs -0 md5sum > DEBIAN/md5sums)
dpkg-deb --root-owner-group -Zxz --build "$root" "$out/quillet_${version}_${arch}.deb" >/dev/null
echo "$out/quillet_${version}_${arch}.deb"
