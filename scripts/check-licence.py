"""check-licence.py FILE...: each sdist or wheel carries the project's LICENSE unchanged and
declares it as PEP 639 metadata (License-Expression, License-File). Exits 1 naming what
is missing."""

import email.parser
import pathlib
import sys
import tarfile
import tomllib
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent


def members(path: str) -> dict[str, bytes]:
    """The metadata file and every file named LICENSE, by their path inside the archive."""
    wanted = ("/PKG-INFO", ".dist-info/METADATA", "/LICENSE")
    if path.endswith(".whl"):
        with zipfile.ZipFile(path) as archive:
            return {n: archive.read(n) for n in archive.namelist() if n.endswith(wanted)}
    with tarfile.open(path) as archive:
        return {m.name: archive.extractfile(m).read() for m in archive.getmembers()
                if m.isfile() and m.name.endswith(wanted) and m.name.count("/") == 1}


def problems(path: str, expression: str, licence: bytes) -> list[str]:
    files = members(path)
    meta = [v for k, v in files.items() if k.endswith(("PKG-INFO", "METADATA"))]
    if len(meta) != 1:
        return ["no single metadata file"]
    headers = email.parser.BytesHeaderParser().parsebytes(meta[0])
    found = []
    if headers.get_all("License-Expression") != [expression]:
        found.append(f"License-Expression is {headers.get_all('License-Expression')}, not {expression!r}")
    if headers.get_all("License-File") != ["LICENSE"]:
        found.append(f"License-File is {headers.get_all('License-File')}, not ['LICENSE']")
    # A wheel keeps it in .dist-info/licenses/, an sdist at its top.
    where = ".dist-info/licenses/LICENSE" if path.endswith(".whl") else "/LICENSE"
    texts = [v for k, v in files.items() if k.endswith(where)]
    if texts != [licence]:
        found.append(f"no copy of LICENSE as *{where}")
    return found


def main() -> int:
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    licence = (ROOT / "LICENSE").read_bytes()
    failed = 0
    for path in sys.argv[1:]:
        for problem in problems(path, project["license"], licence):
            print(f"{path}: {problem}", file=sys.stderr)
            failed = 1
    return failed


if __name__ == "__main__":
    sys.exit(main())
