#!/usr/bin/env python3
# Draws the console's computer icons (64 x 64 PNG) with nothing but the standard
# library. Run once; the PNGs are kept beside this script.
import struct
import zlib

S = 64


def png(pixels):
    raw = b''.join(b'\x00' + bytes(sum((list(p) for p in row), [])) for row in pixels)

    def chunk(kind, data):
        c = struct.pack('>I', len(data)) + kind + data
        return c + struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', S, S, 8, 6, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


class Canvas:
    def __init__(self):
        self.p = [[(0, 0, 0, 0)] * S for _ in range(S)]

    def rect(self, x0, y0, x1, y1, color):
        for y in range(max(0, y0), min(S, y1)):
            for x in range(max(0, x0), min(S, x1)):
                self.p[y][x] = color

    def frame(self, x0, y0, x1, y1, color, w=2):
        self.rect(x0, y0, x1, y0 + w, color)
        self.rect(x0, y1 - w, x1, y1, color)
        self.rect(x0, y0, x0 + w, y1, color)
        self.rect(x1 - w, y0, x1, y1, color)

    def trapezoid(self, y0, y1, top0, top1, bot0, bot1, color):
        for y in range(y0, y1):
            t = (y - y0) / max(1, y1 - y0 - 1)
            a = round(top0 + (bot0 - top0) * t)
            b = round(top1 + (bot1 - top1) * t)
            self.rect(a, y, b, y + 1, color)

    def save(self, name):
        with open(name + '.png', 'wb') as f:
            f.write(png(self.p))


DARK = (60, 64, 72, 255)
MID = (120, 126, 138, 255)
LIGHT = (200, 204, 212, 255)
WHITE = (245, 245, 245, 255)
SCREEN = (40, 110, 190, 255)
GLOW = (120, 190, 250, 255)
GREEN = (70, 170, 90, 255)
ORANGE = (230, 140, 40, 255)


def tower(name, body, face):
    c = Canvas()
    c.rect(18, 4, 46, 60, body)
    c.frame(18, 4, 46, 60, DARK)
    for y in (12, 20, 28):
        c.rect(23, y, 41, y + 4, face)
    c.rect(29, 48, 35, 52, GREEN)
    c.save(name)


def laptop(name, lid, base, thin=False):
    c = Canvas()
    top = 14 if thin else 10
    c.rect(12, top, 52, 44, lid)
    c.rect(15, top + 3, 49, 41, SCREEN)
    c.rect(17, top + 5, 30, top + 9, GLOW)
    c.trapezoid(44, 50 if thin else 53, 12, 52, 4, 60, base)
    c.save(name)


def allinone(name, body, stand):
    c = Canvas()
    c.rect(8, 6, 56, 42, body)
    c.rect(11, 9, 53, 37, SCREEN)
    c.rect(13, 11, 28, 15, GLOW)
    c.trapezoid(42, 54, 28, 36, 22, 42, stand)
    c.rect(18, 54, 46, 57, stand)
    c.save(name)


tower('tower', MID, LIGHT)
tower('tower-classic', LIGHT, MID)
c = Canvas()
for i, y in enumerate((10, 24, 38)):
    c.rect(6, y, 58, y + 12, MID)
    c.frame(6, y, 58, y + 12, DARK)
    c.rect(10, y + 4, 14, y + 8, GREEN if i != 1 else ORANGE)
    c.rect(20, y + 5, 52, y + 7, DARK)
c.save('server')
c = Canvas()
c.rect(8, 26, 56, 40, LIGHT)
c.frame(8, 26, 56, 40, MID)
c.rect(28, 32, 36, 34, GREEN)
c.save('mini')
laptop('laptop', MID, LIGHT)
laptop('laptop-thin', LIGHT, LIGHT, thin=True)
laptop('laptop-classic', DARK, MID)
laptop('laptop-white', WHITE, WHITE)
allinone('allinone', LIGHT, MID)
allinone('allinone-classic', WHITE, LIGHT)
c = Canvas()
c.rect(8, 8, 56, 46, DARK)
c.rect(11, 11, 53, 43, SCREEN)
c.frame(18, 16, 46, 38, WHITE)
c.rect(18, 16, 46, 21, WHITE)
c.rect(26, 46, 38, 52, DARK)
c.rect(18, 52, 46, 56, DARK)
c.save('vm')
c = Canvas()
c.rect(6, 18, 58, 50, ORANGE)
c.frame(6, 18, 58, 50, DARK)
for x in (16, 26, 36, 46):
    c.rect(x, 22, x + 3, 46, (190, 110, 30, 255))
c.save('container')
c = Canvas()
c.rect(16, 4, 48, 60, DARK)
c.rect(19, 9, 45, 53, SCREEN)
c.rect(21, 11, 32, 15, GLOW)
c.rect(30, 55, 34, 58, MID)
c.save('tablet')
