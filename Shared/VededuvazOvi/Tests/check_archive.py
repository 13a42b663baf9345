"""Checks the stored form of an activity with Python's plistlib, a reader of
binary property lists independent of libplist, and writes an archive of its
own for the library to read back.

usage: check_archive.py ARCHIVE_TO_READ ARCHIVE_TO_WRITE
"""
import plistlib
import sys


def fail(message):
    print("check_archive: " + message, file=sys.stderr)
    sys.exit(1)


def decode(objects, uid, depth=0):
    if depth > 100:
        fail("nested too deeply")
    if uid.data == 0:
        return None
    item = objects[uid.data]
    if not isinstance(item, dict):
        return item
    record = objects[item["$class"].data]
    name = record["$classname"]
    if record["$classes"][-1] != "NSObject" or record["$classes"][0] != name:
        fail("bad class chain %r" % record["$classes"])
    if name in ("NSDictionary", "NSMutableDictionary"):
        keys = [decode(objects, key, depth + 1) for key in item["NS.keys"]]
        values = [decode(objects, value, depth + 1) for value in item["NS.objects"]]
        return dict(zip(keys, values))
    if name in ("NSArray", "NSMutableArray"):
        return [decode(objects, value, depth + 1) for value in item["NS.objects"]]
    if name == "NSURL":
        if decode(objects, item["NS.base"], depth + 1) is not None:
            fail("unexpected URL base")
        return ("URL", decode(objects, item["NS.relative"], depth + 1))
    if name == "ALKActivity":
        if set(item) - {"$class", "properties"}:
            fail("activity with other keys: %r" % sorted(item))
        return ("ALKActivity", decode(objects, item["properties"], depth + 1) if "properties" in item else None)
    fail("unexpected class " + name)


def same(a, b):
    """Equal, with bool, int and float told apart."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def check(path):
    with open(path, "rb") as f:
        raw = f.read()
    if not raw.startswith(b"bplist00"):
        fail("not a binary property list")
    archive = plistlib.loads(raw)
    if set(archive) != {"$archiver", "$version", "$top", "$objects"}:
        fail("top-level keys %r" % sorted(archive))
    if archive["$archiver"] != "NSKeyedArchiver" or archive["$version"] != 100000:
        fail("archiver or version")
    if archive["$top"] != {"root": plistlib.UID(1)}:
        fail("top %r" % archive["$top"])
    objects = archive["$objects"]
    if objects[0] != "$null":
        fail("first object %r" % objects[0])
    names = [o["$classname"] for o in objects if isinstance(o, dict) and "$classname" in o]
    if len(names) != len(set(names)):
        fail("a class recorded twice: %r" % names)
    expected = ("ALKActivity", {
        "activityType": "Event",
        "eventCategory": "SoftwareDownload",
        "nonInteraction": True,
        "eventValue": -5,
        "queueTime": 0.25,
        "documentLocation": ("URL", "https://example.com/p?q=1"),
        "custom": {},
    })
    got = decode(objects, archive["$top"]["root"])
    if not same(got, expected):
        fail("decoded %r" % (got,))


def write(path):
    UID = plistlib.UID
    objects = [
        "$null",
        {"$class": UID(2), "properties": UID(3)},
        {"$classname": "ALKActivity", "$classes": ["ALKActivity", "NSObject"]},
        {"$class": UID(4), "NS.keys": [UID(5), UID(6), UID(7), UID(8), UID(9)],
         "NS.objects": [UID(10), UID(11), UID(12), UID(13), UID(14)]},
        {"$classname": "NSMutableDictionary", "$classes": ["NSMutableDictionary", "NSDictionary", "NSObject"]},
        "eventCategory", "nonInteraction", "eventValue", "queueTime", "documentLocation",
        "Python", True, -7, 1.5,
        {"$class": UID(15), "NS.base": UID(0), "NS.relative": UID(16)},
        {"$classname": "NSURL", "$classes": ["NSURL", "NSObject"]},
        "https://example.com/py",
    ]
    archive = {"$version": 100000, "$archiver": "NSKeyedArchiver", "$top": {"root": UID(1)}, "$objects": objects}
    with open(path, "wb") as f:
        plistlib.dump(archive, f, fmt=plistlib.FMT_BINARY)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        fail(__doc__)
    check(sys.argv[1])
    write(sys.argv[2])
