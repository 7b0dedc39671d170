#!/usr/bin/env python3
"""Still poses for the Kalman attitude filter's tests, worked out apart from the
filter: each pose is a rotation about an axis; the record's acceleration (what
an accelerometer at rest reads, (0, 0, 1) when level) and field are the
reference vectors seen from the sensor, and the expected attitude is the
rotation that takes gravity (the negated acceleration) to (0, 0, -1) and
gravity x field to (1, 0, 0), built from those two directions alone."""

import math

FIELD = (0.0, 0.3, -0.4)  # reference frame: north-ish, dipping down

POSES = [
    ("level", (1, 0, 0), 0),
    ("90 deg about x", (1, 0, 0), 90),
    ("90 deg about z", (0, 0, 1), 90),
    ("170 deg about (1, 2, 3)", (1, 2, 3), 170),
    ("30 deg about x", (1, 0, 0), 30),
    ("40 deg about (1, 1, 0)", (1, 1, 0), 40),
    ("half turn about z", (0, 0, 1), 180),
    ("half turn about (1, 1, 0)", (1, 1, 0), 180),
]


def cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def unit(a):
    n = math.sqrt(sum(x * x for x in a))
    return tuple(x / n for x in a)


def rotation(axis, degrees):
    """Matrix taking sensor vectors to the reference frame (Rodrigues)."""
    x, y, z = unit(axis)
    t = math.radians(degrees)
    c, s, v = math.cos(t), math.sin(t), 1 - math.cos(t)
    return ((c + x * x * v, x * y * v - z * s, x * z * v + y * s),
            (y * x * v + z * s, c + y * y * v, y * z * v - x * s),
            (z * x * v - y * s, z * y * v + x * s, c + z * z * v))


def transposed_times(m, a):
    """m^T a, with the rounding residue of cos 90 deg and the like set to 0."""
    out = tuple(sum(m[k][i] * a[k] for k in range(3)) for i in range(3))
    return tuple(0.0 if abs(x) < 1e-15 else x for x in out)


def triad(acceleration, field):
    """Rotation taking gravity to d and gravity x field to h, as a quaternion."""
    g = unit(tuple(-x for x in acceleration))
    e = unit(cross(g, field))
    s = (g, e, cross(g, e))
    d, h = (0.0, 0.0, -1.0), (1.0, 0.0, 0.0)
    r = (d, h, cross(d, h))
    m = [[sum(r[k][i] * s[k][j] for k in range(3)) for j in range(3)] for i in range(3)]
    # Largest of 4w^2, 4x^2, 4y^2, 4z^2 first, for precision.
    t = m[0][0] + m[1][1] + m[2][2]
    options = [(1 + t, 3), (1 + m[0][0] - m[1][1] - m[2][2], 0),
               (1 - m[0][0] + m[1][1] - m[2][2], 1), (1 - m[0][0] - m[1][1] + m[2][2], 2)]
    _, largest = max(options)
    q = [0.0] * 4  # x, y, z, w
    if largest == 3:
        w = math.sqrt(1 + t) / 2
        q = [(m[2][1] - m[1][2]) / (4 * w), (m[0][2] - m[2][0]) / (4 * w), (m[1][0] - m[0][1]) / (4 * w), w]
    elif largest == 0:
        x = math.sqrt(1 + m[0][0] - m[1][1] - m[2][2]) / 2
        q = [x, (m[0][1] + m[1][0]) / (4 * x), (m[0][2] + m[2][0]) / (4 * x), (m[2][1] - m[1][2]) / (4 * x)]
    elif largest == 1:
        y = math.sqrt(1 - m[0][0] + m[1][1] - m[2][2]) / 2
        q = [(m[0][1] + m[1][0]) / (4 * y), y, (m[1][2] + m[2][1]) / (4 * y), (m[0][2] - m[2][0]) / (4 * y)]
    else:
        z = math.sqrt(1 - m[0][0] - m[1][1] + m[2][2]) / 2
        q = [(m[0][2] + m[2][0]) / (4 * z), (m[1][2] + m[2][1]) / (4 * z), z, (m[1][0] - m[0][1]) / (4 * z)]
    return q


def literal(values):
    return "{" + ", ".join(repr(0.0 if abs(v) < 1e-15 else float(v)) for v in values) + "}"


for name, axis, degrees in POSES:
    m = rotation(axis, degrees)
    acceleration = transposed_times(m, (0.0, 0.0, 1.0))
    field = transposed_times(m, FIELD)
    q = triad(acceleration, field)
    # The same rotation straight from the axis and angle, up to sign.
    n, half = unit(axis), math.radians(degrees) / 2
    direct = [n[0] * math.sin(half), n[1] * math.sin(half), n[2] * math.sin(half), math.cos(half)]
    assert abs(abs(sum(a * b for a, b in zip(q, direct))) - 1) < 1e-12, name
    print('{"%s", %s, %s, %s},' % (name, literal(acceleration), literal(field), literal(q)))

# The worked DKv6 frame of the model tests (acceleration and field as its
# model writes them), held still: the attitude its Kalman filter must reach.
WORKED_ACCELERATION = (-0.5733867076598268, 0.32871686765079922, -1.0368421906260423)
WORKED_FIELD = (0.10692469252465557, -0.053394996941451632, 0.054039767552202106)
print("worked DKv6 frame:", literal(triad(WORKED_ACCELERATION, WORKED_FIELD)))
