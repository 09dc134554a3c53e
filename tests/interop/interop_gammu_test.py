#!/usr/bin/python3
"""Interoperability with libGammu (python3-gammu) as an independent reference.

(a) Our multi-part SUBMITs (interop_codec submit), decoded with gammu.DecodePDU and
    linked with gammu.LinkSMS / gammu.DecodeSMS, give the original text.
(b) Gammu's multi-part messages (gammu.EncodeSMS, turned into DELIVER PDUs with
    gammu.EncodePDU), fed to our reassembly shuffled and with a duplicate part
    (interop_codec join), give the original text.

Usage: interop_gammu_test.py INTEROP_CODEC [VELASMS]
Exit 0 when every check passes, 1 on a mismatch, 77 (skip) without the gammu module.
"""
import binascii
import datetime
import json
import random
import subprocess
import sys

try:
    import gammu
except ImportError:
    print("SKIP: the Python module gammu is missing (Debian package python3-gammu, installed by scripts/setup)")
    sys.exit(77)

CODEC = sys.argv[1]
VELASMS = sys.argv[2] if len(sys.argv) > 2 else None

TEXTS = {
    "latin": "Crème brûlée à la française, ça coûte 5 € — déjà vu? Ñandú, Ærøskøbing, Åland, Straße. " * 3,
    "greek": "Καλημέρα κόσμε! Η γρήγορη καφέ αλεπού πηδάει πάνω από τον τεμπέλη σκύλο. " * 3,
    "cyrillic": "Съешь же ещё этих мягких французских булок, да выпей чаю. " * 6,
    "chinese": "你好，世界！敏捷的棕色狐狸跳过了懒狗。" * 10,
    "emoji": "Hi 👋🏽 👨‍👩‍👧‍👦 🇩🇪🇯🇵 😀 " * 10,
    "mixed": "Привет, 世界! Grüße 👍 Ελλάδα ✓ " * 8,
    "short": "Hi",
    "gsm long": ("The quick brown fox jumps over the lazy dog 0123456789 @home £5 ¥10 é ù ì ò Ç Ø å Δ Φ Γ Λ Ω "
                 * 12)[:1000],
    "gsm extension": "Braces {x} [y] ~z^ pipe | back\\slash €20. " * 6,
}

failures = []


def check(name, got, want):
    if got != want:
        failures.append(name)
        print(f"FAIL {name}:\n  got  {got!r}\n  want {want!r}")
    else:
        print(f"ok   {name}")


def run(args):
    result = subprocess.run(args, capture_output=True, text=True, encoding="utf-8")
    if result.returncode != 0:
        raise RuntimeError(f"{args[:2]} failed ({result.returncode}): {result.stderr.strip()}")
    return result.stdout


# --- (a) our SUBMITs read by Gammu -----------------------------------------------

def gammu_text_of_submits(pdus):
    messages = [gammu.DecodePDU(binascii.unhexlify(p), True) for p in pdus]
    linked = gammu.LinkSMS([[m] for m in messages])
    if len(linked) != 1:
        return f"<Gammu linked {len(linked)} messages>"
    info = gammu.DecodeSMS(linked[0])
    if info is None:  # a one-part message: no multi-part information
        return linked[0][0]["Text"]
    return "".join(entry["Buffer"] or "" for entry in info["Entries"])


for name, text in TEXTS.items():
    for extra in ([], ["--ref16"]):
        label = f"ours -> gammu: {name}{' (16-bit reference)' if extra else ''}"
        try:
            pdus = run([CODEC, "submit", "--to", "+15551234567", "--reference", "200", *extra, text]).split()
            check(label + f", {len(pdus)} parts", gammu_text_of_submits(pdus), text)
        except Exception as e:  # noqa: BLE001 - report and go on
            failures.append(label)
            print(f"FAIL {label}: {e}")


# --- (b) Gammu's messages reassembled by us ---------------------------------------

def gammu_delivers(text, unicode, ref16):
    entry = "ConcatenatedTextLong16bit" if ref16 else "ConcatenatedTextLong"
    pdus = []
    for m in gammu.EncodeSMS({"Class": -1, "Unicode": unicode, "Entries": [{"ID": entry, "Buffer": text}]}):
        m["Type"] = "Deliver"
        m["Number"] = "+15557654321"
        m["SMSC"] = {"Number": "+15550000000", "Location": 0, "Name": "", "Validity": "NA", "Format": "Text",
                     "DefaultNumber": ""}
        m["DateTime"] = datetime.datetime(2026, 12, 9, 3, 4, 5)
        pdus.append(binascii.hexlify(gammu.EncodePDU(m, "Deliver")).decode().upper())
    return pdus


def shuffled_with_duplicate(pdus, seed):
    rng = random.Random(seed)
    out = list(pdus)
    if len(out) > 1:
        out.append(out[rng.randrange(len(out))])
    rng.shuffle(out)
    return out


GAMMU_TEXTS = [
    ("cyrillic", TEXTS["cyrillic"], True),
    ("chinese", TEXTS["chinese"], True),
    ("emoji", TEXTS["emoji"], True),
    ("greek", TEXTS["greek"], True),
    ("latin as UCS2", TEXTS["latin"], True),
    ("default alphabet", TEXTS["gsm long"], False),
    ("default alphabet with extension", TEXTS["gsm extension"], False),
]

for index, (name, text, unicode) in enumerate(GAMMU_TEXTS):
    for ref16 in (False, True):
        label = f"gammu -> ours: {name}{' (16-bit reference)' if ref16 else ''}"
        try:
            pdus = gammu_delivers(text, unicode, ref16)
            lines = run([CODEC, "join", *shuffled_with_duplicate(pdus, index)]).splitlines()
            if len(lines) != 1:
                check(label, f"<{len(lines)} messages>", "<1 message>")
                continue
            sender, parts, complete, missing, text_hex = lines[0].split(" ")
            got = binascii.unhexlify(text_hex).decode("utf-8")
            check(label + f", {len(pdus)} parts", (sender, int(parts), complete, got),
                  ("+15557654321", len(pdus), "1", text))
            if VELASMS:
                out = run([VELASMS, "join", "--json", *shuffled_with_duplicate(pdus, index + 100)]).splitlines()
                msgs = [json.loads(line) for line in out]
                check(label + " (velasms join)",
                      [(m["from"], m["text"], m["parts"], m["complete"], m["missing"]) for m in msgs],
                      [("+15557654321", text, len(pdus), True, [])])
        except Exception as e:  # noqa: BLE001
            failures.append(label)
            print(f"FAIL {label}: {e}")

# A part that never arrives: the message comes out incomplete, the place named.
try:
    pdus = gammu_delivers(TEXTS["cyrillic"], True, False)
    kept = pdus[:1] + pdus[2:]
    sender, parts, complete, missing, text_hex = run([CODEC, "join", *kept]).split()
    got = binascii.unhexlify(text_hex).decode("utf-8")
    check("gammu -> ours: part 2 missing", (int(parts), complete, missing, "[part 2 of " in got),
          (len(pdus), "0", "2", True))
    if VELASMS:
        msgs = [json.loads(line) for line in run([VELASMS, "join", "--json", *kept]).splitlines()]
        check("gammu -> ours: part 2 missing (velasms join)",
              [(m["parts"], m["complete"], m["missing"]) for m in msgs], [(len(pdus), False, [2])])
except Exception as e:  # noqa: BLE001
    failures.append("part missing")
    print(f"FAIL part missing: {e}")

print(f"{len(failures)} failure(s)")
sys.exit(1 if failures else 0)
