#!/usr/bin/env python3
"""Writes the rig's game data as one PACK archive: two levels for QuakeSpasm (room1 "Room 1", room2
"Room 2"; Quake BSP version 29), the models the game names (brush models, which both engines load by
their header whatever the file is called) and its one sound.

  mklevel.py OUT.pak

A level is a closed box room; a model is a solid block. Either is one convex box, so each hull is a
chain of six planes: hull 0 (what is drawn and what is seen) as nodes over two leaves, hulls 1 and 2
(the player's and the large monster's box) as clip nodes on the planes moved in by the hull's size,
so a player stands on the floor, walks, jumps and stops at the walls. One 16x16 texture, no light
map (the engines draw the faces full bright) and no visibility data (every leaf sees every leaf).
"""
import math, struct, sys

VERSION = 29
CONTENTS_EMPTY, CONTENTS_SOLID = -1, -2
PLAYER_HULL, LARGE_HULL = ((-16, -16, -24), (16, 16, 32)), ((-32, -32, -24), (32, 32, 64))
TILE = 256     # a face larger than this many texels breaks some engines' light-map limits
TEXTURE = "rig_grid"
# texture axes (s, t) for faces across x, y, z
TEXTURE_AXES = (((0, 1, 0), (0, 0, -1)), ((1, 0, 0), (0, 0, -1)), ((1, 0, 0), (0, -1, 0)))

LEVELS = (   # name, title, room corners, spawn points (x, y, z, yaw)
    ("room1", "Room 1", (-320, -256, 0), (320, 256, 256), ((-160, -128, 24, 45), (160, 128, 24, 225))),
    ("room2", "Room 2", (-512, -384, 0), (512, 384, 320), ((-256, 0, 24, 0), (256, 0, 24, 180))),
)
MODELS = (   # the player's stand-in, the game's beacon and pillar
    ("progs/player.mdl", (-16, -16, -24), (16, 16, 32)),
    ("progs/beacon.bsp", (-8, -8, 0), (8, 8, 32)),
    ("progs/pillar.bsp", (-12, -12, 0), (12, 12, 64)),
)
SOUND = "sound/rig/ping.wav"


class Box:
    """An axis-aligned box: a room (open inside, solid around) or a block (solid inside)."""

    def __init__(self, lo, hi, room):
        self.lo, self.hi, self.room = lo, hi, room
        self.planes, self.plane_at = [], {}

    def plane(self, axis, dist):
        if (axis, dist) not in self.plane_at:
            self.plane_at[axis, dist] = len(self.planes)
            normal = [0.0] * 3
            normal[axis] = 1.0
            self.planes.append(struct.pack("<4fi", *normal, dist, axis))
        return self.plane_at[axis, dist]

    def sides(self, lo, hi):
        """The six bounding planes as (axis, dist, low side)."""
        return [(a, lo[a], True) for a in range(3)] + [(a, hi[a], False) for a in range(3)]

    def chain(self, lo, hi, inside, outside, first):
        """Nodes (plane, front child, back child) that put a point inside the box through all six
        tests and out at the first that fails; a plane's front is its +axis side."""
        nodes = []
        for i, (axis, dist, low) in enumerate(self.sides(lo, hi)):
            deeper = first + i + 1 if i < 5 else inside
            plane = self.plane(axis, dist)
            nodes.append((plane, deeper, outside) if low else (plane, outside, deeper))
        return nodes

    def clip_hull(self, hull, first):
        """Hull 1 or 2: where the origin of a box of that size may go (room) or may not (block)."""
        mins, maxs = hull
        if self.room:
            lo = [self.lo[a] - mins[a] for a in range(3)]
            hi = [self.hi[a] - maxs[a] for a in range(3)]
            return self.chain(lo, hi, CONTENTS_EMPTY, CONTENTS_SOLID, first)
        lo = [self.lo[a] - maxs[a] for a in range(3)]
        hi = [self.hi[a] - mins[a] for a in range(3)]
        return self.chain(lo, hi, CONTENTS_SOLID, CONTENTS_EMPTY, first)


def tiles(lo, hi, axis, dist):
    """The corners of the tiles that cover the box's side at axis = dist."""
    u, v = [a for a in range(3) if a != axis]
    for u0 in range(lo[u], hi[u], TILE):
        for v0 in range(lo[v], hi[v], TILE):
            u1, v1 = min(u0 + TILE, hi[u]), min(v0 + TILE, hi[v])
            corners = []
            for cu, cv in (u0, v0), (u1, v0), (u1, v1), (u0, v1):
                p = [0] * 3
                p[axis], p[u], p[v] = dist, cu, cv
                corners.append(p)
            yield corners


def clockwise(corners, normal):
    """The corners in the engines' winding: clockwise seen from the side the face shows."""
    e1 = [corners[1][i] - corners[0][i] for i in range(3)]
    e2 = [corners[2][i] - corners[0][i] for i in range(3)]
    cross = (e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0])
    return corners if sum(c * n for c, n in zip(cross, normal)) < 0 else corners[::-1]


def miptex():
    """One 16x16 texture and its three smaller mip levels: a grid of two greys."""
    levels = []
    for level in range(4):
        size = 16 >> level
        line = max(1, 4 >> level)
        levels.append(bytes(6 if x < line or y < line else 12 for y in range(size) for x in range(size)))
    offsets, at = [], 40
    for data in levels:
        offsets.append(at)
        at += len(data)
    return struct.pack("<16s2I4I", TEXTURE.encode(), 16, 16, *offsets) + b"".join(levels)


def bsp(box, entities):
    """The bytes of a BSP version 29 file holding one model: the box."""
    lo, hi = box.lo, box.hi
    # hull 0: child -1 is leaf 0 (solid), -2 leaf 1 (open, and it lists every face)
    nodes = box.chain(lo, hi, -2 if box.room else -1, -1 if box.room else -2, 0)
    clipnodes = box.clip_hull(PLAYER_HULL, 0)
    clipnodes += box.clip_hull(LARGE_HULL, len(clipnodes))

    vertices, edges, surfedges, faces, node_faces = [], [(0, 0)], [], [], []   # edge 0 cannot be signed
    for axis, dist, low in box.sides(lo, hi):
        first = len(faces)
        normal = [0] * 3
        normal[axis] = 1 if low == box.room else -1    # a room's faces look in, a block's out
        for corners in tiles(lo, hi, axis, dist):
            surfedges += range(len(edges), len(edges) + 4)
            base = len(vertices)
            vertices += clockwise(corners, normal)
            edges += [(base + i, base + (i + 1) % 4) for i in range(4)]
            faces.append(struct.pack("<2hi2h4Bi", box.plane(axis, dist), normal[axis] < 0, len(surfedges) - 4,
                                     4, axis, 0, 255, 255, 255, -1))
        node_faces.append((first, len(faces) - first))

    bounds = [v - 1 for v in lo] + [v + 1 for v in hi]
    open_leaf_bounds = list(lo) + list(hi) if box.room else [-4096] * 3 + [4096] * 3
    texinfo = b"".join(struct.pack("<3ff3ff2i", *s, 0, *t, 0, 0, 0) for s, t in TEXTURE_AXES)
    lumps = [
        entities.encode() + b"\0",
        b"".join(box.planes),
        struct.pack("<2i", 1, 8) + miptex(),
        b"".join(struct.pack("<3f", *v) for v in vertices),
        b"",                                                               # visibility
        b"".join(struct.pack("<i2h6h2H", p, front, back, *bounds, *node_faces[i])
                 for i, (p, front, back) in enumerate(nodes)),
        texinfo,
        b"".join(faces),
        b"",                                                               # light maps
        b"".join(struct.pack("<i2h", *c) for c in clipnodes),
        struct.pack("<2i6h2H4B", CONTENTS_SOLID, -1, *[0] * 6, 0, 0, 0, 0, 0, 0) +
        struct.pack("<2i6h2H4B", CONTENTS_EMPTY, -1, *open_leaf_bounds, 0, len(faces), 0, 0, 0, 0),
        struct.pack("<%dH" % len(faces), *range(len(faces))),
        b"".join(struct.pack("<2H", *e) for e in edges),
        struct.pack("<%di" % len(surfedges), *surfedges),
        struct.pack("<9f4i3i", *lo, *hi, 0, 0, 0, 0, 0, 6, 0, 1, 0, len(faces)),
    ]
    directory, body, at = b"", b"", 4 + 8 * len(lumps)
    for data in lumps:      # each lump's length counts whole records; the next starts 4-byte aligned
        directory += struct.pack("<2i", at + len(body), len(data))
        body += data + bytes(-len(data) % 4)
    return struct.pack("<i", VERSION) + directory + body


def level_entities(title, spawns):
    text = '{\n"classname" "worldspawn"\n"message" "%s"\n}\n' % title
    for i, (x, y, z, yaw) in enumerate(spawns):
        kind = "info_player_start" if i == 0 else "info_player_deathmatch"
        text += '{\n"classname" "%s"\n"origin" "%d %d %d"\n"angle" "%d"\n}\n' % (kind, x, y, z, yaw)
    return text


def ping(rate=11025, seconds=0.15, hz=880):
    """A short 8-bit beep, a WAV file."""
    samples = bytes(128 + int(60 * math.sin(2 * math.pi * hz * i / rate)) for i in range(int(rate * seconds)))
    fmt = struct.pack("<4sI2H2I2H", b"fmt ", 16, 1, 1, rate, rate, 1, 8)
    return b"RIFF" + struct.pack("<I", 4 + len(fmt) + 8 + len(samples)) + b"WAVE" + fmt + \
        b"data" + struct.pack("<I", len(samples)) + samples


def pack(files):
    """A PACK archive: header, the files, then their directory (56-byte names)."""
    body, directory = b"", b""
    for name, data in files:
        directory += struct.pack("<56s2i", name.encode(), 12 + len(body), len(data))
        body += data
    return b"PACK" + struct.pack("<2i", 12 + len(body), len(directory)) + body + directory


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: mklevel.py OUT.pak")
    files = [("maps/%s.bsp" % name, bsp(Box(lo, hi, True), level_entities(title, spawns)))
             for name, title, lo, hi, spawns in LEVELS]
    files += [(name, bsp(Box(lo, hi, False), "")) for name, lo, hi in MODELS]
    files += [(SOUND, ping()), ("gfx.wad", b"WAD2" + struct.pack("<2i", 0, 12))]  # loaded by any server
    with open(sys.argv[1], "wb") as f:
        f.write(pack(files))


if __name__ == "__main__":
    main()
