"""A small reader for 32-bit PE files, standard library only: headers,
sections, imports and resources, enough to inspect what a build produced
(tests/exe/check_exe.py uses it)."""

import struct
import xml.etree.ElementTree as ElementTree

RT_ICON, RT_VERSION, RT_GROUP_ICON, RT_MANIFEST = 3, 16, 14, 24


class PeError(Exception):
    pass


class Resource:
    def __init__(self, offset, data):
        self.offset = offset  # where the data starts in the file
        self.data = data


class PeImage:
    """The parts of a PE file this check needs, read eagerly."""

    def __init__(self, data):
        self.data = data
        try:
            self._read_headers()
            self.imports = self._read_imports()
            self.resources = self._read_resources()
        except (struct.error, IndexError, UnicodeDecodeError) as error:
            raise PeError(f"malformed PE file ({error})") from error

    def _u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def _u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def _read_headers(self):
        if self.data[:2] != b"MZ":
            raise PeError("no MZ header")
        pe = self._u32(0x3C)
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        self.machine = self._u16(pe + 4)
        self.timestamp = self._u32(pe + 8)
        sections = self._u16(pe + 6)
        optional_size = self._u16(pe + 20)
        optional = pe + 24
        self.magic = self._u16(optional)
        if self.magic != 0x10B:
            # Only the PE32 layout is read below; the check reports the rest.
            self.subsystem = None
            self.directories = []
            self.sections = []
            return
        self.image_base = self._u32(optional + 28)
        self.os_version = (self._u16(optional + 40), self._u16(optional + 42))
        self.subsystem_version = (self._u16(optional + 48), self._u16(optional + 50))
        self.subsystem = self._u16(optional + 68)
        count = self._u32(optional + 92)
        self.directories = [struct.unpack_from("<II", self.data, optional + 96 + 8 * k)
                            for k in range(min(count, 16))]
        table = optional + optional_size
        self.sections = [struct.unpack_from("<IIII", self.data, table + 40 * k + 8)
                         for k in range(sections)]

    def offset_of(self, rva):
        for virtual_size, address, raw_size, raw_offset in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                if rva - address >= raw_size:
                    raise PeError(f"RVA {rva:#x} has no bytes in the file")
                return raw_offset + rva - address
        raise PeError(f"RVA {rva:#x} is in no section")

    def _directory(self, index):
        if index >= len(self.directories) or self.directories[index][0] == 0:
            return None
        return self.offset_of(self.directories[index][0])

    def _c_string(self, offset):
        return self.data[offset:self.data.index(b"\0", offset)].decode("ascii")

    def _read_imports(self):
        """The DLLs imported, in order; self.functions maps each to the names
        imported from it (ordinal imports are left out)."""
        names = []
        self.functions = {}
        table = self._directory(1)
        while table is not None:
            lookup_rva, name_rva = self._u32(table), self._u32(table + 12)
            if self.data[table:table + 20] == bytes(20):
                break
            names.append(self._c_string(self.offset_of(name_rva)))
            functions = self.functions.setdefault(names[-1], [])
            thunk = self.offset_of(lookup_rva or self._u32(table + 16))
            while thunk is not None and self._u32(thunk):
                entry = self._u32(thunk)
                if not entry & 0x80000000:
                    functions.append(self._c_string(self.offset_of(entry) + 2))
                thunk += 4
            table += 20
        # Delay-loaded DLLs must be there at run time just the same.
        table = self._directory(13)
        while table is not None and self.data[table:table + 32] != bytes(32):
            attributes, name = struct.unpack_from("<II", self.data, table)
            if not attributes & 1:  # old style: a VA, not an RVA
                name -= self.image_base
            names.append(self._c_string(self.offset_of(name)))
            table += 32
        return names

    def _read_resources(self):
        """{(type, name, language): Resource}; ids are ints, names strings."""
        root = self._directory(2)
        found = {}
        if root is None:
            return found

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, root + directory + 12)
            for k in range(named + numbered):
                key, target = struct.unpack_from("<II", self.data, root + directory + 16 + 8 * k)
                if key & 0x80000000:
                    at = root + (key & 0x7FFFFFFF)
                    key = self.data[at + 2:at + 2 + 2 * self._u16(at)].decode("utf-16-le")
                yield key, target

        def subdirectory(target):
            if not target & 0x80000000:
                raise PeError("resource tree is not three levels deep")
            return target & 0x7FFFFFFF

        for res_type, types in entries(0):
            for name, names in entries(subdirectory(types)):
                for language, leaf in entries(subdirectory(names)):
                    rva, size = struct.unpack_from("<II", self.data, root + leaf)
                    offset = self.offset_of(rva)
                    found[(res_type, name, language)] = Resource(
                        offset, self.data[offset:offset + size])
        return found

    def resource(self, res_type, name):
        """The data of a resource in any language, or None."""
        for (kind, key, _), resource in self.resources.items():
            if kind == res_type and key == name:
                return resource
        return None


def parse_version_node(data, offset=0):
    """One VS_VERSIONINFO-style node: (key, value bytes, children, end offset)."""
    length, value_length, is_text = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    key_end = offset + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[offset + 6:key_end].decode("utf-16-le")
    value_start = (key_end + 2 + 3) & ~3
    value_bytes = value_length * 2 if is_text else value_length
    value = data[value_start:value_start + value_bytes]
    children = []
    child = (value_start + value_bytes + 3) & ~3
    while child < end:
        node = parse_version_node(data, child)
        children.append(node)
        child = (node[3] + 3) & ~3
    return key, value, children, end


# What a reader of the file sees of its icon, version block and manifest, as
# plain values under the names the executable check compares.


def icon_facts(pe):
    group = pe.resource(RT_GROUP_ICON, 1)
    if group is None:
        return {"icon group 1": None}
    count = struct.unpack_from("<H", group.data, 4)[0]
    listed, images, sizes = [], [], []
    for k in range(count):
        width, height, colours, _, _, bits, size, res_id = struct.unpack_from(
            "<BBBBHHIH", group.data, 6 + 14 * k)
        listed.append((res_id, width or 256, height or 256, colours, bits))
        image = pe.resource(RT_ICON, res_id)
        if image is not None:
            images.append((res_id, *struct.unpack_from("<IiiHH", image.data)))
            sizes.append(size == len(image.data))
    return {"icon group 1": sorted(listed), "icon images": sorted(images),
            "icon sizes agree": bool(sizes) and all(sizes)}


def version_facts(pe):
    entry = [(lang, r) for (kind, name, lang), r in pe.resources.items()
             if kind == RT_VERSION and name == 1]
    if not entry:
        return {"version language": None}
    language, resource = entry[0]
    _, fixed, children, _ = parse_version_node(resource.data)
    fields = struct.unpack("<13I", fixed) if len(fixed) == 52 else (None,) * 13
    blocks = {child[0]: child for child in children}
    strings = {}
    for table in blocks.get("StringFileInfo", (0, 0, []))[2]:
        if table[0] == "040904B0":
            strings = {s[0]: s[1].decode("utf-16-le").rstrip("\0") for s in table[2]}
    variables = {v[0]: v[1] for v in blocks.get("VarFileInfo", (0, 0, []))[2]}
    translation = variables.get("Translation", b"")
    return {"version language": language,
            "fixed version": (fields[0], *fields[2:6], fields[9]),
            "version strings": strings,
            "translation": struct.unpack("<HH", translation) if len(translation) == 4 else None}


def manifest_facts(pe):
    manifest = pe.resource(RT_MANIFEST, 1)
    if manifest is None:
        return {"dpiAwareness": None}
    elements = {}
    for element in ElementTree.fromstring(manifest.data).iter():
        elements.setdefault(element.tag.rsplit("}", 1)[-1], []).append(element)
    awareness = [e.text or "" for e in elements.get("dpiAwareness", [])]
    return {
        # The first entry Windows knows wins; the rest are for older versions.
        "dpiAwareness": awareness[0].split(",")[0].strip().lower() if awareness else None,
        "dpiAware": [(e.text or "").strip().lower() for e in elements.get("dpiAware", [])],
        "execution level": [(e.get("level"), e.get("uiAccess"))
                            for e in elements.get("requestedExecutionLevel", [])],
        "supported OS": {(e.get("Id") or "").lower() for e in elements.get("supportedOS", [])},
    }
