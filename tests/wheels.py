"""Tiny real wheels, written file by file, for installation tests without a network.

    build_wheel(directory, "zelkor-bundle-analytics", "1.0.0", requires=["zelkor-enterprise-core"])

gives dist/zelkor_bundle_analytics-1.0.0-py3-none-any.whl holding an importable
package ``zelkor_bundle_analytics`` whose ``VERSION`` is the version.
"""

import base64
import hashlib
import pathlib
import zipfile


def _record_hash(data):
    digest = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")


def build_wheel(directory, name, version, requires=()):
    """Write ``<module>-<version>-py3-none-any.whl`` into ``directory`` and return its path.

    ``name`` is the project name as its metadata spells it; the module and file
    names use it with "-" turned into "_".
    """
    module = name.replace("-", "_")
    dist_info = f"{module}-{version}.dist-info"
    metadata = [
        "Metadata-Version: 2.1",
        f"Name: {name}",
        f"Version: {version}",
        f"Summary: test package {name}",
        *(f"Requires-Dist: {r}" for r in requires),
    ]
    files = {
        f"{module}/__init__.py": f'VERSION = "{version}"\n'.encode(),
        f"{dist_info}/METADATA": ("\n".join(metadata) + "\n").encode(),
        f"{dist_info}/WHEEL": (
            "Wheel-Version: 1.0\nGenerator: tests.wheels\n"
            "Root-Is-Purelib: true\nTag: py3-none-any\n"
        ).encode(),
    }
    record = [f"{path},{_record_hash(data)},{len(data)}" for path, data in files.items()]
    record.append(f"{dist_info}/RECORD,,")
    files[f"{dist_info}/RECORD"] = ("\n".join(record) + "\n").encode()

    path = pathlib.Path(directory) / f"{module}-{version}-py3-none-any.whl"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as whl:
        for member, data in files.items():
            whl.writestr(member, data)
    return path
