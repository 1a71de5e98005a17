"""What the resource generators share: writing their outputs (or, with --check, reporting
the stale ones), and compiling a Windows resource script with a resource compiler (mingw's
windres) to read the resources back from the .res file it writes."""
import os
import struct
import subprocess
import sys
import tempfile

RT_ICON = 3
RT_STRING = 6
RT_GROUP_ICON = 14


def read_res(data):
    """[(type, name, language id, bytes)] of a 32-bit .res file. Each resource is a header
    (data size, header size, type, name, data version, memory flags, language, version,
    characteristics; a type or name is 0xFFFF and a number, or a UTF-16 name ending in 0)
    followed by its data, each DWORD-aligned. The first resource is the empty one."""
    resources = []
    at = 0
    while at + 8 <= len(data):
        data_size, header_size = struct.unpack_from("<II", data, at)
        header = data[at + 8:at + header_size]

        def name_or_id(offset):
            if struct.unpack_from("<H", header, offset)[0] == 0xFFFF:
                return struct.unpack_from("<H", header, offset + 2)[0], offset + 4
            end = offset
            while struct.unpack_from("<H", header, end)[0] != 0:
                end += 2
            return header[offset:end].decode("utf-16-le"), end + 2

        res_type, offset = name_or_id(0)
        name, offset = name_or_id(offset)
        offset = (offset + 8 + 3) // 4 * 4 - 8  # DWORD-aligned in the file
        _, _, language = struct.unpack_from("<IHH", header, offset)
        body = data[at + header_size:at + header_size + data_size]
        if data_size or header_size != 32:
            resources.append((res_type, name, language, body))
        at += header_size + (data_size + 3) // 4 * 4
    return resources


def string_tables(resources):
    """{(language id, string id): text} of the RT_STRING blocks: block n holds the 16 strings
    from (n - 1) * 16, each a count of UTF-16 code units and the units; empty ones are unused."""
    strings = {}
    for res_type, name, language, body in resources:
        if res_type != RT_STRING:
            continue
        pos = 0
        for index in range(16):
            length = struct.unpack_from("<H", body, pos)[0]
            if length:
                text = body[pos + 2:pos + 2 + 2 * length].decode("utf-16-le", "surrogatepass")
                strings[(language, (name - 1) * 16 + index)] = text
            pos += 2 + 2 * length
    return strings


def compile_rc(program, script_text, folder):
    """The resources of `script_text`, compiled by `program` in `folder` (where the script's
    relative file names are looked up)."""
    with tempfile.TemporaryDirectory() as work:
        rc = os.path.join(work, "check.rc")
        res = os.path.join(work, "check.res")
        with open(rc, "w", encoding="ascii") as f:
            f.write(script_text)
        subprocess.run([program, "--include-dir=" + folder, "--input-format=rc",
                        "--output-format=res", rc, res], check=True)
        with open(res, "rb") as f:
            return read_res(f.read())


def update_outputs(outputs, check, script):
    """Writes each (path, bytes) whose file differs; with `check`, writes nothing and exits
    with the list of stale files instead."""
    stale = []
    for path, data in outputs:
        try:
            with open(path, "rb") as f:
                current = f.read()
        except FileNotFoundError:
            current = None
        if current != data:
            stale.append(path)
            if not check:
                with open(path, "wb") as f:
                    f.write(data)
    if check and stale:
        sys.exit("out of date (run scripts/%s): %s" % (script, ", ".join(stale)))


def parse_arguments(args, usage):
    """The generators' command line: [--check] [--windres PROGRAM]. Returns (check, windres);
    exits with `usage` for anything else."""
    args = list(args)
    check = "--check" in args
    windres = None
    if "--windres" in args:
        at = args.index("--windres")
        if at + 1 >= len(args):
            sys.exit(usage)
        windres = args[at + 1]
        del args[at:at + 2]
    if [a for a in args if a != "--check"]:
        sys.exit(usage)
    return check, windres
