#!/usr/bin/python3
"""Writes a small library of MP3 files tagged by Debian's taggers into DIR.

Usage: make_tagged_library.py DIR
Every file holds title, artist "Artist", album "Album", year 2004, track
"3/12" and the comment "Note"; the title is "Café 音" where the encoding can
hold it, "Café" in ISO-8859-1 tags, and "Café" with a U+FFFD for each byte of
bad UTF-8 in one tag. Three files by mutagen hold other text, for the
rules of new names: "mutagen-v23-tdrc.mp3" the title "Up\\Down" and the
year in a TDRC frame, which mutagen writes into ID3v2.3 tags unless told
otherwise; "mutagen-v23-devices.mp3" the artist "AC/DC", the album
"Aux.In\\Out", the title "CON" and no track; "mutagen-v23-long.mp3" 250
times "a" as artist and "b" as album, 240 times "t" as title, and the track
"7". Exits
with 77 when a tagger is missing (Debian packages python3-mutagen, eyed3,
id3v2).
"""
import os
import shutil
import subprocess
import sys

try:
    from mutagen.id3 import COMM, ID3, TALB, TDRC, TIT2, TPE1, TRCK, TXXX, TYER
    from mutagen.id3._tags import ID3SaveConfig
    from mutagen.id3._util import BitPaddedInt, unsynch
except ImportError:
    print("make_tagged_library: python3-mutagen is missing", file=sys.stderr)
    sys.exit(77)
for tool in ("eyeD3", "id3v2"):
    if shutil.which(tool) is None:
        print(f"make_tagged_library: {tool} is missing", file=sys.stderr)
        sys.exit(77)

# Three silent MPEG-1 Layer III frames (128 kbit/s, 44.1 kHz) stand for audio.
AUDIO = (b"\xff\xfb\x90\x64" + bytes(413)) * 3
WIDE, NARROW = "Caf\u00e9 \u97f3", "Caf\u00e9"


def frames(encoding):
    title = NARROW if encoding == 0 else WIDE
    return [TIT2(encoding=encoding, text=[title]), TPE1(encoding=encoding, text=["Artist", "Other"]),
            TALB(encoding=encoding, text=["Album"]), TDRC(encoding=encoding, text=["2004-05-06"]),
            TRCK(encoding=encoding, text=["3/12"]),
            COMM(encoding=encoding, lang="eng", desc="", text=["Note"])]


def write(path, tag=b""):
    with open(path, "wb") as f:
        f.write(tag + AUDIO)


def syncsafe(n):
    return bytes(BitPaddedInt.to_str(n, width=4))


def built_tag(version, flags, body_of, frame_flags=0, extended=b"", title=None):
    """A tag framed here around mutagen's own frame bodies, for the layouts
    that no Debian tagger writes: ID3v2.2, unsynchronisation, extended
    headers and ID3v2.4 frame flags. A 300-byte TXXX frame comes first, so
    that a size written plain and one written syncsafe differ; an ID3v2.4 tag
    also holds a compressed title and a TYER behind TDRC, both to be passed
    over."""
    config = ID3SaveConfig(4 if version == 4 else 3, None)
    ids = {"TXXX": b"TXX", "TIT2": b"TT2", "TPE1": b"TP1", "TALB": b"TAL", "TYER": b"TYE",
           "TRCK": b"TRK", "COMM": b"COM"}
    data = b""
    for frame in [TXXX(encoding=0, desc="", text=["x" * 298])] + frames(1):
        raw = title if title is not None and frame.FrameID == "TIT2" else frame._writeData(config)
        body, own_flags = body_of(raw), frame_flags
        if version != 4 and frame.FrameID == "TDRC":
            body = body_of(TYER(encoding=1, text=["2004"])._writeData(config))
            frame = TYER()
        elif frame.FrameID == "TDRC":
            data += b"TIT2" + syncsafe(7) + b"\0\x09" + syncsafe(3) + b"Zip"  # compressed
            data += b"TYER" + syncsafe(5) + b"\0\0" + b"\x001999"
        if version == 2:
            data += ids[frame.FrameID] + len(body).to_bytes(4, "big")[1:] + body
        elif version == 3:
            data += frame.FrameID.encode() + len(body).to_bytes(4, "big") + b"\0\0" + body
        else:
            data += frame.FrameID.encode() + syncsafe(len(body)) + b"\0" + bytes([own_flags]) + body
    data = extended + data
    if version < 4 and flags & 0x80:
        data = unsynch.encode(data)
    data += bytes(64)
    return b"ID3" + bytes([version, 0, flags]) + syncsafe(len(data)) + data


def main(folder):
    os.makedirs(folder, exist_ok=True)
    for version in (3, 4):
        for encoding in ((0, 1) if version == 3 else (0, 1, 2, 3)):
            path = os.path.join(folder, f"mutagen-v2{version}-enc{encoding}.mp3")
            write(path)
            tags = ID3()
            for frame in frames(encoding):
                tags.add(frame)
            if version == 3:
                tags.update_to_v23()
            tags.save(path, v2_version=version, v23_sep=None, v1=0)

    def grouped(body):  # a grouping byte, a data length indicator, the unsynchronised body
        return b"\x07" + syncsafe(len(body)) + unsynch.encode(body)

    write(os.path.join(folder, "built-v22.mp3"), built_tag(2, 0, lambda b: b))
    write(os.path.join(folder, "built-v23-unsync-extended.mp3"),
          built_tag(3, 0xC0, lambda b: b, extended=b"\0\0\0\x06" + bytes(6)))
    write(os.path.join(folder, "built-v24-unsync-dli-extended.mp3"),
          built_tag(4, 0x40, grouped, frame_flags=0x43, extended=syncsafe(6) + b"\x01\0"))
    write(os.path.join(folder, "built-v24-tag-unsync.mp3"), built_tag(4, 0x80, unsynch.encode))
    # A title of UTF-8 with a stray byte and a cut sequence, then a second value.
    write(os.path.join(folder, "built-v24-bad-utf8.mp3"),
          built_tag(4, 0, lambda b: b, title=b"\x03Caf\xc3\xa9 \xe9\xe2\x98\0Other"))

    def v23(name, *frames, convert=True):
        path = os.path.join(folder, name)
        write(path)
        tags = ID3()
        for frame in frames:
            tags.add(frame)
        if convert:
            tags.update_to_v23()
        tags.save(path, v2_version=3, v1=0)

    v23("mutagen-v23-tdrc.mp3", TIT2(encoding=1, text=["Up\\Down"]), TPE1(encoding=1, text=["Artist"]),
        TALB(encoding=1, text=["Album"]), TDRC(encoding=1, text=["2004-05-06"]),
        TRCK(encoding=1, text=["3/12"]), convert=False)
    v23("mutagen-v23-devices.mp3", TIT2(encoding=1, text=["CON"]), TPE1(encoding=1, text=["AC/DC"]),
        TALB(encoding=1, text=["Aux.In\\Out"]), TDRC(encoding=1, text=["2004"]))
    v23("mutagen-v23-long.mp3", TIT2(encoding=0, text=["t" * 240]), TPE1(encoding=0, text=["a" * 250]),
        TALB(encoding=0, text=["b" * 250]), TDRC(encoding=0, text=["2004"]),
        TRCK(encoding=0, text=["7"]))

    common = ["-a", "Artist", "-A", "Album", "-c", "Note"]
    for version in ("2.3", "2.4"):
        path = os.path.join(folder, f"eyed3-v{version}.mp3")
        write(path)
        subprocess.run(["eyeD3", "--quiet", "--no-color", f"--to-v{version}", "-t", WIDE, "--recording-date", "2004-05-06",
                        "-n", "3", "-N", "12", *common, path], check=True, stdout=subprocess.DEVNULL)
    path = os.path.join(folder, "id3v2.mp3")
    write(path)
    subprocess.run(["id3v2", "-t", NARROW, "-y", "2004", "-T", "3/12", *common, path], check=True)


if __name__ == "__main__":
    main(sys.argv[1])
