"""WordNet 3.0 read from its own database files, and its noun hierarchy placed in the Poincaré ball.

Only the system's WordNet files are read (Debian's `wordnet-base` puts them in /usr/share/wordnet);
nothing is fetched. When they are missing, `find_wordnet` answers None and the builders raise
`WordNetNotFound`, so callers can skip WordNet and fall back to the generated data.

Data file lines (`data.noun`, `data.verb`, `data.adj`, `data.adv`); lines starting with two spaces
are the licence header:

    synset_offset lex_filenum ss_type w_cnt word lex_id [word lex_id...] p_cnt [ptr...] [frames...] | gloss

w_cnt is two hexadecimal digits, p_cnt three decimal digits, each pointer is
`pointer_symbol synset_offset pos source/target`; `@` marks a hypernym and `@i` an instance hypernym.
Index file lines (`index.noun`, ...) list each lemma's synset offsets in sense order:

    lemma pos synset_cnt p_cnt [ptr_symbol...] sense_cnt tagsense_cnt synset_offset [synset_offset...]

Synsets are named like "dog.n.01": the synset's first word in lower case, its ss_type, and the
position of the synset among that word's senses in the index file (satellite adjectives, ss_type
"s", are numbered in `index.adj`). The sense order is the installed index's: Debian's files, ground
from the WordNet sources, order some senses differently from other distributions (there oak.n.01 is
the wood and oak.n.02 the tree).

Placement in the ball (`place_tree`, `noun_hierarchy`). Every noun synset hangs from its primary
parent: the first hypernym or instance hypernym in its pointer list (2,213 nouns have more than one;
the five with both kinds list the better parent first, e.g. Logrono is an instance of city before it
is a hyponym of Spain). These links form one tree under entity.n.01, and a synset's depth is its
depth in that tree (the deepest is 19). The root sits at the origin; a node of depth k sits at
geodesic distance k·step from the origin, Euclidean norm r_k = tanh(k·step/2), so every level is one
equal geodesic step further out and children are always farther out than their parent. The step is
chosen so that the deepest level has squared norm `max_sq_norm` (0.99 by default; step 0.315 for
WordNet): every point stays strictly inside the ball and below the squared norm 0.995 at which the
index's walks stop looking at nodes.

A child's direction is its parent's, turned by an angle θ_k towards a random direction orthogonal to
it. θ_k is set so that the turn measures `spread` in geodesic length at the child's radius,
θ_k = spread·(1 − r_k²)/(2·r_k): the same hyperbolic amount at every depth, which in the ball's
coordinates shrinks with depth roughly like e^(-k·step). So a subtree stays inside a narrow cone
around its root's direction while siblings, turned in independent directions, stay apart. Each
node's angle is θ_k times the length of its Gaussian tangent draw over that length's typical value
(about ±12% in 32 dimensions), so no two siblings are exactly equidistant from their parent. Near the
origin the formula asks for wide turns (θ_2 ≈ 1.5 rad for WordNet), which would let a child drift as
close to its parent's neighbours as to its parent, so the turn is capped at π/4 (this only affects
depths 2 and 3). The root's children take uniformly random directions, almost orthogonal to each
other in 32 dimensions. On WordNet with the defaults, the nearest synset one level up is a node's own
parent for all but about 0.1% of nodes, and a node's 10 nearest synsets lie 2.15 tree edges away on
average.

All random directions come from one standard normal matrix drawn with a fixed seed, row i for node
i. The arithmetic is elementwise float64 (sums column by column, angles through `math`) before one
rounding to float32, so a rebuild gives the same bytes with the same NumPy and C library.

Masks: bit `lex_filenum - 3` for the synset's lexicographer file (noun.Tops → bit 0, noun.act → bit 1,
... noun.time → bit 25), names in `Hierarchy.mask_names`.
"""

from __future__ import annotations

import math
import os
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable

import numpy as np

from . import cache

SEED = 0
DEFAULT_DIM = 32
DEFAULT_MAX_SQ_NORM = 0.99
DEFAULT_SPREAD = 1.0
WALK_LIMIT_SQ_NORM = 0.995  # the index's walks pass over nodes at or above this squared norm
MAX_TURN = math.pi / 4  # largest angle between a child's direction and its parent's

SEARCH_DIRS = ("/usr/share/wordnet", "/usr/share/wordnet/dict", "/usr/local/WordNet-3.0/dict",
               "/usr/local/share/wordnet", "/usr/share/WordNet-3.0/dict")
POS_FILES = {"n": "noun", "v": "verb", "a": "adj", "r": "adv"}
INDEX_POS = {"n": "n", "v": "v", "a": "a", "s": "a", "r": "r"}

# The lexicographer files, numbered as in WordNet's lexnames file.
LEXNAMES = (
    "adj.all", "adj.pert", "adv.all", "noun.Tops", "noun.act", "noun.animal", "noun.artifact",
    "noun.attribute", "noun.body", "noun.cognition", "noun.communication", "noun.event",
    "noun.feeling", "noun.food", "noun.group", "noun.location", "noun.motive", "noun.object",
    "noun.person", "noun.phenomenon", "noun.plant", "noun.possession", "noun.process",
    "noun.quantity", "noun.relation", "noun.shape", "noun.state", "noun.substance", "noun.time",
    "verb.body", "verb.change", "verb.cognition", "verb.communication", "verb.competition",
    "verb.consumption", "verb.contact", "verb.creation", "verb.emotion", "verb.motion",
    "verb.perception", "verb.possession", "verb.social", "verb.stative", "verb.weather", "adj.ppl",
)
NOUN_LEXFILE_FIRST = 3
NOUN_MASK_NAMES = tuple(n for n in LEXNAMES if n.startswith("noun."))

_ADJ_MARKER = re.compile(r"\((?:a|p|ip)\)$")
_HEX1 = frozenset("0123456789abcdef")  # a lex_id is one hexadecimal digit


class WordNetNotFound(FileNotFoundError):
    """The WordNet database files are not installed (or not where they were looked for)."""


def find_wordnet(wordnet_dir: str | os.PathLike | None = None) -> Path | None:
    """The directory holding WordNet's data.* and index.* files, or None.

    With no argument, $WNSEARCHDIR (WordNet's own variable) and the usual install places are tried.
    """
    if wordnet_dir is not None:
        candidates = [wordnet_dir]
    else:
        candidates = [os.environ.get("WNSEARCHDIR"), *SEARCH_DIRS]
    for c in candidates:
        if c and all((Path(c) / f"{kind}.{name}").is_file()
                     for name in POS_FILES.values() for kind in ("data", "index")):
            return Path(c)
    return None


def wordnet_available(wordnet_dir: str | os.PathLike | None = None) -> bool:
    return find_wordnet(wordnet_dir) is not None


def require_wordnet(wordnet_dir: str | os.PathLike | None = None) -> Path:
    found = find_wordnet(wordnet_dir)
    if found is None:
        where = wordnet_dir if wordnet_dir is not None else ", ".join(SEARCH_DIRS)
        raise WordNetNotFound(f"WordNet 3.0 database files not found (looked in {where}); "
                              "on Debian/Ubuntu: apt-get install wordnet-base")
    return found


# --- parsing ----------------------------------------------------------------------------------

@dataclass(frozen=True)
class Synset:
    offset: int
    lex_filenum: int
    pos: str  # ss_type: n, v, a, s (satellite adjective) or r
    words: tuple[str, ...]  # as written, underscores for spaces, adjective markers removed
    hypernyms: tuple[int, ...]  # offsets of "@" pointers, in file order
    instance_hypernyms: tuple[int, ...]  # offsets of "@i" pointers, in file order
    gloss: str
    parents: tuple[int, ...] = ()  # offsets of both kinds together, in file order

    @property
    def primary_parent(self) -> int | None:
        """The first hypernym or instance hypernym listed, None for a root."""
        return self.parents[0] if self.parents else None


def parse_data_line(line: str) -> Synset | None:
    """One synset from a data.* line; None for the licence header and blank lines."""
    if line.startswith("  ") or not line.strip():
        return None
    head, bar, gloss = line.partition(" | ")
    if not bar:
        head, gloss = line, ""  # a synset without gloss has no separator at all
    f = head.split()
    try:
        offset, lex_filenum, pos = int(f[0]), int(f[1]), f[2]
        w_cnt = int(f[3], 16)
        at = 4 + 2 * w_cnt
        words = tuple(_ADJ_MARKER.sub("", w) if w.endswith(")") else w for w in f[4:at:2])
        lex_ids_ok = len(words) == w_cnt and set(f[5:at:2]) <= _HEX1
        p_cnt = int(f[at])
        ptrs = f[at + 1: at + 1 + 4 * p_cnt]
        rest = f[at + 1 + 4 * p_cnt:]
        # verbs end with their frames: f_cnt, then "+ f_num w_num" per frame
        frames_ok = not rest or (pos == "v" and len(rest) == 1 + 3 * int(rest[0]))
    except (IndexError, ValueError) as e:
        raise ValueError(f"malformed WordNet data line: {line[:80]!r}") from e
    if (len(ptrs) != 4 * p_cnt or pos not in INDEX_POS or not lex_ids_ok or not frames_ok
            or not set(ptrs[2::4]) <= INDEX_POS.keys()):
        raise ValueError(f"malformed WordNet data line: {line[:80]!r}")
    hyper, inst, both = [], [], []
    for j in range(0, len(ptrs), 4):
        if ptrs[j] in ("@", "@i"):
            target = int(ptrs[j + 1])
            (hyper if ptrs[j] == "@" else inst).append(target)
            both.append(target)
    return Synset(offset, lex_filenum, pos, words, tuple(hyper), tuple(inst), gloss.strip(), tuple(both))


def parse_data(lines: Iterable[str]) -> list[Synset]:
    return [s for s in map(parse_data_line, lines) if s is not None]


def parse_index_line(line: str) -> tuple[str, str, tuple[int, ...]] | None:
    """(lemma, pos, synset offsets in sense order) from an index.* line; None for the header."""
    if line.startswith("  ") or not line.strip():
        return None
    f = line.split()
    try:
        lemma, pos, synset_cnt, p_cnt = f[0], f[1], int(f[2]), int(f[3])
        start = 4 + p_cnt + 2  # skip the pointer symbols, sense_cnt and tagsense_cnt
        offsets = tuple(int(x) for x in f[start: start + synset_cnt])
    except (IndexError, ValueError) as e:
        raise ValueError(f"malformed WordNet index line: {line[:80]!r}") from e
    if len(offsets) != synset_cnt:
        raise ValueError(f"malformed WordNet index line: {line[:80]!r}")
    return lemma, pos, offsets


def parse_index(lines: Iterable[str]) -> dict[tuple[str, str], tuple[int, ...]]:
    """(lemma, pos) → synset offsets in sense order."""
    out = {}
    for line in lines:
        entry = parse_index_line(line)
        if entry is not None:
            out[(entry[0], entry[1])] = entry[2]
    return out


def synset_name(synset: Synset, senses: dict[tuple[str, str], tuple[int, ...]]) -> str:
    lemma = synset.words[0].lower()
    try:
        number = senses[(lemma, INDEX_POS[synset.pos])].index(synset.offset) + 1
    except (KeyError, ValueError) as e:
        raise ValueError(f"{lemma!r} ({synset.pos}) has no sense at offset {synset.offset:08d}") from e
    return f"{lemma}.{synset.pos}.{number:02d}"


def _lines(path: Path) -> list[str]:
    return path.read_text(encoding="utf-8", errors="replace").splitlines()


def read_synsets(pos: str, wordnet_dir: str | os.PathLike | None = None) -> tuple[list[Synset], list[str]]:
    """All synsets of one data file ("n", "v", "a" with its satellites, or "r") in file order, and
    their names."""
    wn = require_wordnet(wordnet_dir)
    name = POS_FILES[pos]
    synsets = parse_data(_lines(wn / f"data.{name}"))
    senses = parse_index(_lines(wn / f"index.{name}"))
    return synsets, [synset_name(s, senses) for s in synsets]


def source_files(wordnet_dir: Path, parts: Iterable[str]) -> list[Path]:
    return [wordnet_dir / f"{kind}.{POS_FILES[p]}" for p in parts for kind in ("data", "index")]


# --- placement --------------------------------------------------------------------------------

def tree_depths(parent: np.ndarray) -> np.ndarray:
    """Depth of every node of a forest given as parent ids (-1 at a root); ValueError on a cycle."""
    parent = np.asarray(parent, dtype=np.int64)
    n = len(parent)
    if n and (parent.min() < -1 or parent.max() >= n):
        raise ValueError("parent ids must lie in [-1, n)")
    depth = np.full(n, -1, dtype=np.int32)
    frontier = parent < 0
    level = 0
    has_parent = parent >= 0
    safe_parent = np.where(has_parent, parent, 0)
    while frontier.any():
        depth[frontier] = level
        level += 1
        frontier = has_parent & frontier[safe_parent]
    if (depth < 0).any():
        raise ValueError("the parent links contain a cycle")
    return depth


def _row_dots(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    # Column by column, so the summation order is fixed whatever SIMD paths NumPy picks on a machine.
    s = a[:, 0] * b[:, 0]
    for j in range(1, a.shape[1]):
        s = s + a[:, j] * b[:, j]
    return s


def _unit_rows(x: np.ndarray) -> np.ndarray:
    return x / np.sqrt(_row_dots(x, x))[:, None]


def place_tree(parent: np.ndarray, dim: int = DEFAULT_DIM, seed: int = SEED,
               max_sq_norm: float = DEFAULT_MAX_SQ_NORM, spread: float = DEFAULT_SPREAD,
               step: float | None = None) -> tuple[np.ndarray, np.ndarray, float]:
    """Points (float32, n × dim) in the unit Poincaré ball for a forest given as parent ids.

    Returns (points, depth, step). `step` None picks the geodesic step that puts the deepest level at
    squared norm `max_sq_norm`; an explicit step must keep the deepest level within it. Roots sit at
    the origin. See the module docstring for the construction.
    """
    if not 0.0 < max_sq_norm < 1.0:
        raise ValueError("max_sq_norm must lie in (0, 1)")
    if dim < 2:
        raise ValueError("dim must be at least 2")
    depth = tree_depths(parent)
    parent = np.asarray(parent, dtype=np.int64)
    n = len(parent)
    deepest = int(depth.max()) if n else 0
    limit = 2.0 * math.atanh(math.sqrt(max_sq_norm))  # geodesic radius of the squared norm bound
    if step is None:
        step = limit / max(deepest, 1)
    elif step * deepest > limit * (1 + 1e-12):
        raise ValueError(f"step {step} puts depth {deepest} beyond squared norm {max_sq_norm}")
    noise = np.random.default_rng(seed).standard_normal((n, dim))
    directions = np.zeros((n, dim))
    points = np.zeros((n, dim))
    for k in range(1, deepest + 1):
        at = np.flatnonzero(depth == k)
        r = math.tanh(step * k / 2.0)
        g = noise[at]
        if k == 1:
            d = _unit_rows(g)
        else:
            p = directions[parent[at]]
            t = g - _row_dots(g, p)[:, None] * p  # a Gaussian vector in the tangent space at p
            length = np.sqrt(_row_dots(t, t))
            # Turn by spread's angle at this radius, scaled by the Gaussian's length relative to its
            # mean so that siblings are never exactly equidistant from their parent.
            scale = spread * (1.0 - r * r) / (2.0 * r) / math.sqrt(dim - 1)
            theta = [min(scale * x, MAX_TURN) for x in length.tolist()]
            cos = np.array([math.cos(x) for x in theta])[:, None]
            sin = np.array([math.sin(x) for x in theta])[:, None]
            d = _unit_rows(cos * p + sin * (t / length[:, None]))
        directions[at] = d
        points[at] = r * d
    out = points.astype(np.float32)
    sq = np.einsum("ij,ij->i", out, out)  # float32, as the index computes it
    if n and not sq.max() < min(1.0, max_sq_norm + 1e-5):
        raise AssertionError("placement left the ball")  # cannot happen: r_k² <= max_sq_norm
    return out, depth, float(step)


@dataclass
class Hierarchy:
    """A tree of named points in the unit Poincaré ball, with one mask bit per top-level category."""

    points: np.ndarray  # (n, dim) float32
    parent: np.ndarray  # (n,) int32, -1 at a root
    depth: np.ndarray  # (n,) int32
    masks: np.ndarray  # (n,) uint64
    names: list[str]
    mask_names: list[str]  # mask_names[b] names bit b
    glosses: list[str]  # empty strings where there is no text
    step: float  # geodesic distance between consecutive levels
    offsets: np.ndarray | None = None  # WordNet synset offsets, None for generated trees
    ids: dict[str, int] = field(init=False, repr=False)

    def __post_init__(self) -> None:
        self.ids = {name: i for i, name in enumerate(self.names)}

    def __len__(self) -> int:
        return len(self.names)

    @property
    def dim(self) -> int:
        return self.points.shape[1]

    def id(self, name: str) -> int:
        return self.ids[name]

    def mask_bit(self, mask_name: str) -> int:
        return self.mask_names.index(mask_name)

    def ancestors(self, i: int) -> list[int]:
        """Parent, grandparent, ... up to the root."""
        out = []
        while self.parent[i] >= 0:
            i = int(self.parent[i])
            out.append(i)
        return out


def _noun_arrays(wn: Path, dim: int, seed: int, max_sq_norm: float, spread: float) -> cache.Arrays:
    synsets, names = read_synsets("n", wn)
    row = {s.offset: i for i, s in enumerate(synsets)}
    parent = np.array([-1 if s.primary_parent is None else row[s.primary_parent] for s in synsets],
                      dtype=np.int32)
    points, depth, step = place_tree(parent, dim, seed, max_sq_norm, spread)
    masks = np.array([1 << (s.lex_filenum - NOUN_LEXFILE_FIRST) for s in synsets], dtype=np.uint64)
    name_blob, name_ends = cache.pack_strings(names)
    gloss_blob, gloss_ends = cache.pack_strings(s.gloss for s in synsets)
    return {"points": points, "parent": parent, "depth": depth, "masks": masks,
            "offsets": np.array([s.offset for s in synsets], dtype=np.int64), "step": np.float64(step),
            "name_blob": name_blob, "name_ends": name_ends, "gloss_blob": gloss_blob,
            "gloss_ends": gloss_ends}


def noun_hierarchy(dim: int = DEFAULT_DIM, seed: int = SEED, max_sq_norm: float = DEFAULT_MAX_SQ_NORM,
                   spread: float = DEFAULT_SPREAD, wordnet_dir: str | os.PathLike | None = None,
                   cache_dir: str | os.PathLike | None = cache.DEFAULT_DIR) -> Hierarchy:
    """WordNet's 82,115 noun synsets placed in the ball (module docstring), built once and cached.

    Raises WordNetNotFound when the WordNet files are missing.
    """
    wn = require_wordnet(wordnet_dir)
    params = {"dim": dim, "seed": seed, "max_sq_norm": max_sq_norm, "spread": spread,
              "source": cache.fingerprint(source_files(wn, "n"))}
    a = cache.load_or_build("wordnet_nouns", params,
                            lambda: _noun_arrays(wn, dim, seed, max_sq_norm, spread), cache_dir)
    return Hierarchy(points=a["points"], parent=a["parent"], depth=a["depth"], masks=a["masks"],
                     names=cache.unpack_strings(a["name_blob"], a["name_ends"]),
                     mask_names=list(NOUN_MASK_NAMES),
                     glosses=cache.unpack_strings(a["gloss_blob"], a["gloss_ends"]),
                     step=float(a["step"]), offsets=a["offsets"])
