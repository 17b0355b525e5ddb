# The desktop entry and the metainfo pass their validators, and the icon files
# the build drew are what their names say and show something.
# Usage: bash desktop_files_test.sh BUILD_FOLDER SOURCE_FOLDER
set -uo pipefail

build=$1
source=$2
desktop=$source/packaging/jp.quenzari.velmorix.desktop
metainfo=$source/packaging/jp.quenzari.velmorix.metainfo.xml
icons=$build/packaging/icons/hicolor
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# desktop-file-validate returns 0 on hints too; anything it prints is a fault.
if ! output=$(desktop-file-validate "$desktop" 2>&1) || [ -n "$output" ]; then
  fail "desktop-file-validate $desktop:"$'\n'"$output"
fi

if ! output=$(appstreamcli validate --no-net "$metainfo" 2>&1); then
  fail "appstreamcli validate --no-net $metainfo:"$'\n'"$output"
fi

# Every size the build is meant to draw, so that a missing one is noticed too.
for size in 16 22 24 32 48 64 128 256; do
  png=$icons/${size}x${size}/apps/velmorix.png
  [ -f "$png" ] || fail "missing $png"
done

shopt -s nullglob
for png in "$icons"/*/apps/*.png; do
  if ! message=$(/usr/bin/python3 - "$png" 2>&1 <<'EOF'
import re, struct, sys, zlib

path = sys.argv[1]
with open(path, "rb") as file:
    data = file.read()
if data[:8] != b"\x89PNG\r\n\x1a\n":
    sys.exit("not a PNG")
folder = re.search(r"/(\d+)x(\d+)/apps/[^/]+$", path)
expected = (int(folder.group(1)), int(folder.group(2)))
width, height, depth, colour = struct.unpack(">IIBB", data[16:26])
if (width, height) != expected:
    sys.exit(f"{width}x{height}, not {expected[0]}x{expected[1]}")

# Qt writes 8-bit RGBA for an image with transparency; any other kind would
# have no alpha to look at and is a fault of its own here.
if (depth, colour) != (8, 6):
    sys.exit(f"bit depth {depth}, colour type {colour}, not 8-bit RGBA")
chunks, offset = [], 8
while offset < len(data):
    length, kind = struct.unpack(">I4s", data[offset:offset + 8])
    if kind == b"IDAT":
        chunks.append(data[offset + 8:offset + 8 + length])
    offset += 12 + length
filtered = zlib.decompress(b"".join(chunks))
stride = 4 * width
if len(filtered) != (1 + stride) * height:
    sys.exit("image data of the wrong length")

# Undo the rows' filters (None, Sub, Up, Average, Paeth) to reach the alpha.
def paeth(left, up, up_left):
    guess = left + up - up_left
    distances = abs(guess - left), abs(guess - up), abs(guess - up_left)
    return (left, up, up_left)[distances.index(min(distances))]

previous = bytearray(stride)
alphas = []
for row in range(height):
    start = row * (1 + stride)
    kind, line = filtered[start], bytearray(filtered[start + 1:start + 1 + stride])
    for i in range(stride):
        left = line[i - 4] if i >= 4 else 0
        up_left = previous[i - 4] if i >= 4 else 0
        predictor = (0, left, previous[i], (left + previous[i]) // 2,
                     paeth(left, previous[i], up_left))[kind]
        line[i] = (line[i] + predictor) & 0xFF
    alphas.append(line[3::4])
    previous = line
if alphas[0][0] != 0:
    sys.exit("the background is not transparent")
if not any(any(row) for row in alphas):
    sys.exit("blank: every pixel transparent")
EOF
  ); then
    fail "$png: $message"
  fi
done

svg=$icons/scalable/apps/velmorix.svg
if [ ! -f "$svg" ]; then
  fail "missing $svg"
elif ! message=$(/usr/bin/python3 - "$svg" 2>&1 <<'EOF'
import sys
import xml.etree.ElementTree as ElementTree

try:
    root = ElementTree.parse(sys.argv[1]).getroot()
except ElementTree.ParseError as error:
    sys.exit(f"not XML: {error}")
if root.tag != "{http://www.w3.org/2000/svg}svg":
    sys.exit(f"root element {root.tag}, not svg")
if root.get("viewBox", "").split() != ["0", "0", "64", "64"]:
    sys.exit(f"viewBox {root.get('viewBox')!r}, not '0 0 64 64'")
EOF
); then
  fail "$svg: $message"
fi

[ "$failures" -eq 0 ] || exit 1
echo "desktop entry, metainfo and icon files are fine"
