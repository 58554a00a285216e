#!/usr/bin/env python3
"""Reads the built updater.exe as Windows will, without running it: a GUI-subsystem program whose
RT_MANIFEST id 1 is the build's manifest byte for byte (asking for administrator rights, or at the
on-demand build's level asInvoker running as its caller), whose
file icon is the one 64 x 64, 32-bit image of ui/icon.ico, and which carries the static Qt plugins
it needs (the Windows platform and the ICO reader of its window icon).

    checkexe.py UPDATER_EXE MANIFEST_FILE ICON_FILE [LEVEL]
"""
import struct
import sys

try:
    import pefile
except ImportError:
    print("SKIPPED windows_executable: python3-pefile is not installed")
    sys.exit(0)

RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24
GUI_SUBSYSTEM = 2


def resources(pe, kind):
    """id -> bytes of every resource of that type (first language of each)"""
    found = {}
    directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for entry in directory.entries if directory else []:
        if entry.id != kind:
            continue
        for name in entry.directory.entries:
            language = name.directory.entries[0]
            data = language.data.struct
            found[name.id] = pe.get_data(data.OffsetToData, data.Size)
    return found


def main():
    exe, manifest_file, icon_file = sys.argv[1:4]
    level = sys.argv[4] if len(sys.argv) > 4 else "requireAdministrator"
    problems = []
    pe = pefile.PE(exe)
    if pe.OPTIONAL_HEADER.Subsystem != GUI_SUBSYSTEM:
        problems.append("subsystem %d, not the Windows GUI (2)" % pe.OPTIONAL_HEADER.Subsystem)

    manifests = resources(pe, RT_MANIFEST)
    expected_manifest = open(manifest_file, "rb").read()
    if list(manifests) != [1]:
        problems.append("manifest ids %s, expected exactly [1]" % sorted(manifests))
    elif manifests[1] != expected_manifest:
        problems.append("RT_MANIFEST 1 differs from %s" % manifest_file)
    elif ('level="%s"' % level).encode() not in manifests[1]:
        problems.append("the manifest does not ask for the execution level %s" % level)

    # the .ico file: header, one directory entry, then the image
    ico = open(icon_file, "rb").read()
    _, _, count = struct.unpack_from("<HHH", ico, 0)
    width, height, _, _, _, bits, size, offset = struct.unpack_from("<BBBBHHII", ico, 6)
    image = ico[offset:offset + size]
    groups = resources(pe, RT_GROUP_ICON)
    icons = resources(pe, RT_ICON)
    if count != 1 or (width, height, bits) != (64, 64, 32):
        problems.append("%s is not one 64 x 64, 32-bit image" % icon_file)
    if len(groups) != 1:
        problems.append("%d icon groups, expected 1" % len(groups))
    else:
        group = next(iter(groups.values()))
        _, _, entries = struct.unpack_from("<HHH", group, 0)
        g_width, g_height, _, _, _, g_bits, g_size, g_id = struct.unpack_from("<BBBBHHIH", group, 6)
        if entries != 1 or (g_width, g_height, g_bits) != (64, 64, 32):
            problems.append("the icon group is not one 64 x 64, 32-bit entry")
        elif icons.get(g_id) != image or g_size != size:
            problems.append("RT_ICON %d is not the image of %s" % (g_id, icon_file))

    # a static Qt finds its plugins only where they were linked in and imported; their metadata
    # names their classes
    content = open(exe, "rb").read()
    for plugin in (b"QWindowsIntegrationPlugin", b"QICOPlugin"):
        if plugin not in content:
            problems.append("the static plugin %s is not in the executable" % plugin.decode())

    for problem in problems:
        print("FAIL:", problem)
    if not problems:
        print("PASS: GUI subsystem, manifest at level %s, the 64 x 64 icon, static plugins" % level)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
