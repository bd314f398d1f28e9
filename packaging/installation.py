"""make install and make uninstall, around cmake --install.

install: installs the build under PREFIX (within DESTDIR), and keeps a record in the folder
RECORDS of what it put where: the install manifest (the module's byte code, compiled by the
installation, among it) and the folders it had to create. RECORDS lies outside the build folder,
so that make clean, or a build folder removed by hand, leaves the installation removable.

uninstall: removes, by that record alone, what install put under the same PREFIX and DESTDIR: the
manifest's files, any other byte code of its Python modules, and the folders install created,
once they are empty. Folders that were there before stay. It needs no build folder.
"""

import json
import os
import subprocess
import sys
import tempfile
import urllib.parse


def record_path(records, target):
    # One record per place installed to, so that installing elsewhere forgets nothing.
    name = urllib.parse.quote(target, safe="") + ".json"
    return os.path.join(records, name)


def cmake_install(build, prefix, destdir, quiet=False):
    env = dict(os.environ, DESTDIR=destdir)
    subprocess.run(
        ["cmake", "--install", build, "--prefix", prefix, "--strip"],
        env=env,
        check=True,
        stdout=subprocess.DEVNULL if quiet else None,
    )
    with open(os.path.join(build, "install_manifest.txt"), encoding="utf-8") as manifest:
        return [path for path in manifest.read().split("\n") if path]


def deepest_first(folders):
    return sorted(set(folders), key=lambda folder: (folder.count("/"), folder), reverse=True)


def missing_folders(paths):
    """The folders that would have to be made for the paths."""
    missing = set()
    for path in paths:
        folder = os.path.dirname(path)
        while not os.path.isdir(folder) and folder not in missing:
            missing.add(folder)
            folder = os.path.dirname(folder)
    return missing


def install(build, records, prefix, destdir):
    target = destdir + prefix
    # What is installed is for every user: a stricter umask of whoever installs would leave the
    # folders (and the byte code) that cmake and py_compile create readable by that user alone.
    os.umask(0o022)
    # A trial run into a scratch folder tells which files go where, and so which folders the
    # real one is going to create.
    with tempfile.TemporaryDirectory() as scratch:
        planned = cmake_install(build, prefix, scratch, quiet=True)
    created = missing_folders([destdir + path for path in planned])
    manifest = cmake_install(build, prefix, destdir)

    record = record_path(records, target)
    if os.path.exists(record):
        # Installed here before: the folders made then are still install's to remove.
        with open(record, encoding="utf-8") as earlier:
            created |= set(json.load(earlier)["created_folders"])
    os.makedirs(os.path.dirname(record), exist_ok=True)
    with open(record, "w", encoding="utf-8") as out:
        json.dump(
            {
                "prefix": prefix,
                "destdir": destdir,
                "manifest": manifest,
                "created_folders": deepest_first(created),
            },
            out,
            indent=2,
        )
    give_back([os.path.dirname(os.path.abspath(build)), records], os.getcwd())


def give_back(paths, top):
    """Run as root in a checkout of another user's (sudo make install): that user gets back what
    the build and the record made, so that nothing of root's is left in the checkout."""
    owner = os.stat(top)
    if os.geteuid() != 0 or owner.st_uid == 0:
        return
    for path in paths:
        for folder, folders, files in os.walk(path):
            for name in [folder] + [os.path.join(folder, entry) for entry in folders + files]:
                if os.lstat(name).st_uid == 0:
                    os.lchown(name, owner.st_uid, owner.st_gid)


def byte_code_of(module):
    """Byte code of the module by any release or optimisation level, as py3clean finds it."""
    folder = os.path.join(os.path.dirname(module), "__pycache__")
    stem = os.path.splitext(os.path.basename(module))[0]
    if not os.path.isdir(folder):
        return []
    return [
        os.path.join(folder, name)
        for name in os.listdir(folder)
        if name.startswith(stem + ".") and name.endswith(".pyc")
    ]


def uninstall(records, prefix, destdir):
    target = destdir + prefix
    record = record_path(records, target)
    if not os.path.exists(record):
        sys.exit(
            "make uninstall: nothing was installed under {}: {} holds no record of it".format(
                target, records
            )
        )
    with open(record, encoding="utf-8") as saved:
        installed = json.load(saved)

    files = [destdir + path for path in installed["manifest"]]
    for path in list(files):
        if path.endswith(".py"):
            # Byte code that a run by another release left would keep the folder from going.
            files += byte_code_of(path)
    for path in sorted(set(files)):
        if os.path.lexists(path):
            os.remove(path)
            print("-- Removed: " + path)

    for folder in deepest_first(installed["created_folders"]):
        if os.path.isdir(folder) and not os.listdir(folder):
            os.rmdir(folder)
            print("-- Removed: " + folder + "/")
    os.remove(record)


def main():
    arguments = sys.argv[1:]
    if not (
        (len(arguments) == 5 and arguments[0] == "install")
        or (len(arguments) == 4 and arguments[0] == "uninstall")
    ):
        sys.exit(
            "usage: installation.py install BUILD RECORDS PREFIX DESTDIR\n"
            "       installation.py uninstall RECORDS PREFIX DESTDIR"
        )
    command, *folders, prefix, destdir = arguments
    if not os.path.isabs(prefix):
        sys.exit("PREFIX has to be an absolute path, not " + prefix)
    # cmake would take a relative DESTDIR from its own working folder; the record needs one that
    # holds from anywhere.
    destdir = os.path.abspath(destdir) if destdir else ""
    prefix = os.path.normpath(prefix)
    (install if command == "install" else uninstall)(*folders, prefix, destdir)


if __name__ == "__main__":
    main()
