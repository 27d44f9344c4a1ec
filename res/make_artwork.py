#!/usr/bin/env python3
"""Draws the program's artwork (logo, backgrounds, tile pictures) as PNG/ICO files.

Pure Python (zlib only), so it runs anywhere; the outputs are committed, rerun after a change.
"""
import math
import os
import shutil
import struct
import subprocess
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def png_bytes(w, h, pixel):
    rows = bytearray()
    for y in range(h):
        rows.append(0)
        for x in range(w):
            rows.extend(pixel(x, y))
    def chunk(tag, data):
        c = struct.pack(">I", len(data)) + tag + data
        return c + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))


def write(path, data):
    full = os.path.join(HERE, path)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "wb") as f:
        f.write(data)


def mix(a, b, t):
    return tuple(int(a[i] + (b[i] - a[i]) * t) for i in range(len(a)))


def logo_pixel(size):
    # A rounded blue square with a white play triangle: the farm's "start" button.
    def pixel(x, y):
        cx = cy = (size - 1) / 2
        r = size * 0.22
        dx = max(abs(x - cx) - (size / 2 - r), 0)
        dy = max(abs(y - cy) - (size / 2 - r), 0)
        if math.hypot(dx, dy) > r:
            return (0, 0, 0, 0)
        base = mix((9, 151, 247), (63, 72, 204), y / size)
        u, v = (x - size * 0.36) / (size * 0.36), (y - cy) / (size * 0.30)
        if 0 <= u <= 1 and abs(v) <= 1 - u:
            return (255, 255, 255, 255)
        return base + (255,)
    return pixel


def ico_bytes(size):
    # One 32-bit BMP image in an ICO container (readable by every ICO reader).
    pixel = logo_pixel(size)
    xor = bytearray()
    for y in reversed(range(size)):
        for x in range(size):
            r, g, b, a = pixel(x, y)
            xor.extend((b, g, r, a))
    mask = bytes(((size + 31) // 32) * 4 * size)
    bih = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    img = bih + bytes(xor) + mask
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(img), 6 + 16)
    return header + entry + img


def background(w, h, top, bottom, accent):
    def pixel(x, y):
        c = mix(top, bottom, y / h)
        # soft diagonal bands
        if (x + y) % 90 < 3:
            c = mix(c, accent, 0.25)
        return c + (255,)
    return png_bytes(w, h, pixel)


def tile(w, h, body, screen, mark):
    def pixel(x, y):
        # a phone outline on a plain field
        left, right, top, bottom = w * 0.2, w * 0.8, h * 0.12, h * 0.88
        inside = left <= x <= right and top <= y <= bottom
        if not inside:
            return body + (255,)
        if left + 4 <= x <= right - 4 and top + 10 <= y <= bottom - 12:
            return mark(x, y, screen) + (255,)
        return (40, 40, 48, 255)
    return png_bytes(w, h, pixel)


def main():
    write("logo.ico", ico_bytes(32))
    write("logo.png", png_bytes(64, 64, logo_pixel(64)))
    write("Main/ClientEmptyBkg.png", background(480, 640, (236, 244, 252), (205, 225, 243), (9, 151, 247)))
    write("Login/LoginBkg.png", background(360, 300, (230, 242, 253), (190, 215, 240), (63, 72, 204)))
    write("Login/CenterToolBkg.png", background(360, 300, (40, 60, 90), (20, 30, 50), (9, 151, 247)))
    plain = lambda x, y, c: c
    def cross(x, y, c):
        return (200, 60, 60) if abs((x - 50) - (y - 75) * 0.6) < 3 or abs((x - 50) + (y - 75) * 0.6) < 3 else c
    def ring(x, y, c):
        return (255, 255, 255) if abs(math.hypot(x - 50, y - 75) - 16) < 2.5 else c
    write("vediobox/vedioBoxDef.png", tile(100, 150, (225, 230, 236), (120, 130, 145), plain))
    write("vediobox/vedioBoxOffline.png", tile(100, 150, (200, 200, 200), (90, 90, 90), cross))
    write("vediobox/vedioBoxStarting.png", tile(100, 150, (215, 232, 250), (9, 151, 247), ring))
    public_account_card()


def public_account_card():
    # The public-account dialog's picture: the logo, large, on a white card. The dialog wants a JPEG;
    # ffmpeg turns the drawn PNG into one.
    logo = logo_pixel(160)
    def pixel(x, y):
        if 70 <= x < 230 and 70 <= y < 230:
            r, g, b, a = logo(x - 70, y - 70)
            t = a / 255
            return mix((255, 255, 255), (r, g, b), t) + (255,)
        edge = x < 6 or y < 6 or x >= 294 or y >= 294
        return (9, 151, 247, 255) if edge else (255, 255, 255, 255)
    png = os.path.join(HERE, "tipDlg/public.png")
    write("tipDlg/public.png", png_bytes(300, 300, pixel))
    if shutil.which("ffmpeg"):
        subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-i", png, "-q:v", "3",
                        os.path.join(HERE, "tipDlg/public.jpg")], check=True)
    os.remove(png)


if __name__ == "__main__":
    main()
