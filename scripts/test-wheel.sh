#!/usr/bin/env bash
# Installs the wheel in folder $2 made for interpreter $1, with the `io` and `dask`
# extras and the test tools, into a fresh venv (build/wheel-test-TAG), or into the venv
# $1 belongs to, and runs the pytest suite against it from an empty folder: only the
# installed package can be imported, which conftest.py checks. Extra arguments go to
# pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
interpreter=$1
dist=$(realpath "$2")
shift 2
repo=$PWD
tag=$("$interpreter" -c 'import sys; v = "cp%d%d" % sys.version_info[:2]; print(f"{v}-{v}{sys.abiflags}")')
wheel=$(ls "$dist"/kesra-*-"$tag"-*manylinux*.whl 2>/dev/null) || { echo "no $tag wheel in $dist (make wheel)" >&2; exit 1; }
if "$interpreter" -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)'; then
    # A venv's interpreter (.venv) already has the extras and test tools: the wheel only
    # replaces the venv's own build of kesra.
    py=$(cd "$(dirname "$interpreter")" && pwd)/$(basename "$interpreter")  # pytest runs elsewhere
    echo "== $(basename "$wheel") into $("$py" -c 'import sys; print(sys.version.split()[0], sys.prefix)')"
    "$py" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"
else
    venv=$repo/build/wheel-test-$tag
    bash scripts/make-pip-venv.sh "$interpreter" "$venv"
    py=$venv/bin/python
    echo "== $(basename "$wheel") into a fresh venv of $("$py" -c 'import sys; print(sys.version.split()[0], sys.executable)')"
    # Binary wheels only where a source build would be slow (or need Rust) on free-threaded
    # interpreters, as in scripts/make-venv.sh.
    "$py" -m pip install -q --disable-pip-version-check --prefer-binary --only-binary=numpy,scipy,mypy,ast-serialize,librt \
        "$wheel[io,dask]" -r requirements-test.txt mypy
fi

site=$("$py" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
run=$(mktemp -d)
trap 'rm -rf "$run"' EXIT
printf '[pytest]\n' >"$run/pytest.ini"
start=$SECONDS
(cd "$run" && KESRA_EXPECT_INSTALLED_IN="$site" "$py" -m pytest -c pytest.ini --rootdir . -p no:cacheprovider -q -rs \
    "$repo/tests/python" "$@")
echo "== pytest against the installed wheel took $((SECONDS - start))s"
