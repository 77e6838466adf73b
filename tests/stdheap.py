"""libstdc++'s priority_queue, element by element, for replaying the index's heaps exactly.

`lower(a, b)` is the queue's comparator: the top is an element no other element is "higher" than.
push sifts up while the parent is strictly lower; pop walks the hole down into the higher child (the
right one when neither is lower) and sifts the former last element up from there.
"""

from __future__ import annotations


def farther(a, b):  # result queues: farthest on top
    return a[0] < b[0]


def nearer(a, b):  # candidate queues: nearest on top
    return a[0] > b[0]


def heap_push(h, e, lower):
    h.append(e)
    hole = len(h) - 1
    while hole > 0:
        parent = (hole - 1) // 2
        if not lower(h[parent], e):
            break
        h[hole] = h[parent]
        hole = parent
    h[hole] = e


def heap_pop(h, lower):
    top = h[0]
    value = h.pop()
    n = len(h)
    if n == 0:
        return top
    hole = child = 0
    while child < (n - 1) // 2:
        child = 2 * (child + 1)
        if lower(h[child], h[child - 1]):
            child -= 1
        h[hole] = h[child]
        hole = child
    if n % 2 == 0 and child == (n - 2) // 2:
        child = 2 * (child + 1)
        h[hole] = h[child - 1]
        hole = child - 1
    while hole > 0:
        parent = (hole - 1) // 2
        if not lower(h[parent], value):
            break
        h[hole] = h[parent]
        hole = parent
    h[hole] = value
    return top
