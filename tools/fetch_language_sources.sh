#!/bin/sh
# Fetch the raw data that tools/gen_language_data.py reads into CACHE_DIR
# (default: ./.language-sources).  Needs pip and apt-get (run `apt-get update`
# once beforehand); nothing is installed system-wide: the wheel is unpacked
# and the Debian packages are extracted with dpkg-deb.
set -eu

CACHE_DIR=${1:-.language-sources}
PYTHON=${PYTHON:-python3}
WORDFREQ_VERSION=3.1.1

mkdir -p "$CACHE_DIR"
cd "$CACHE_DIR"

if [ ! -d wordfreq-data ]; then
    # --no-deps: only the data files of the wheel are wanted, never its code
    # or its dependencies.
    "$PYTHON" -m pip download --quiet --no-deps -d wheel "wordfreq==$WORDFREQ_VERSION"
    "$PYTHON" - <<'EOF'
import pathlib, zipfile
wheel = next(pathlib.Path("wheel").glob("wordfreq-*.whl"))
out = pathlib.Path("wordfreq-data")
out.mkdir()
with zipfile.ZipFile(wheel) as archive:
    for member in archive.namelist():
        if member.startswith("wordfreq/data/") and member.endswith(".msgpack.gz"):
            (out / pathlib.Path(member).name).write_bytes(archive.read(member))
EOF
fi

for package in libreoffice-help-et libreoffice-l10n-th wngerman; do
    if [ ! -d "deb/$package" ]; then
        mkdir -p deb
        (cd deb && apt-get download "$package")
        dpkg-deb -x deb/"$package"_*.deb "deb/$package"
    fi
done
