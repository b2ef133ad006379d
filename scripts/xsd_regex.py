"""XML Schema regular expressions (XML Schema Part 2, appendix F) and the automata the schema
generator compiles them to, together with the content models of complex types.

A pattern is parsed into a small tree, its character sets become a partition of the code
points into classes, and the tree becomes a deterministic automaton over those classes
(Thompson construction, subset construction, minimisation). The library runs the automaton
over a value, one code point at a time, with no regular-expression engine at run time.

The subset understood is the one the authority's schemas use: characters and the single
character escapes, character class expressions with ranges and negation, `.`, the
multi-character escapes \\d \\D \\s \\S, groups, alternation (empty branches included) and the
quantifiers ? * + {n} {n,} {n,m}. Anything else (\\p{..}, \\i, \\c, \\w, class subtraction)
stops the generator.

Content models use the same automaton builder with element declarations as the alphabet.
"""
from gen_common import fail

MAX_CODE_POINT = 0x10FFFF

# Unicode category Nd (decimal digits) as of Unicode 14.0, the code points of \\d. Kept as
# data so that the generated tables do not depend on the Unicode version of the Python that
# runs the generator.
ND_RANGES = [
    (0x30, 0x39), (0x660, 0x669), (0x6F0, 0x6F9), (0x7C0, 0x7C9), (0x966, 0x96F), (0x9E6, 0x9EF),
    (0xA66, 0xA6F), (0xAE6, 0xAEF), (0xB66, 0xB6F), (0xBE6, 0xBEF), (0xC66, 0xC6F), (0xCE6, 0xCEF),
    (0xD66, 0xD6F), (0xDE6, 0xDEF), (0xE50, 0xE59), (0xED0, 0xED9), (0xF20, 0xF29), (0x1040, 0x1049),
    (0x1090, 0x1099), (0x17E0, 0x17E9), (0x1810, 0x1819), (0x1946, 0x194F), (0x19D0, 0x19D9),
    (0x1A80, 0x1A89), (0x1A90, 0x1A99), (0x1B50, 0x1B59), (0x1BB0, 0x1BB9), (0x1C40, 0x1C49),
    (0x1C50, 0x1C59), (0xA620, 0xA629), (0xA8D0, 0xA8D9), (0xA900, 0xA909), (0xA9D0, 0xA9D9),
    (0xA9F0, 0xA9F9), (0xAA50, 0xAA59), (0xABF0, 0xABF9), (0xFF10, 0xFF19), (0x104A0, 0x104A9),
    (0x10D30, 0x10D39), (0x11066, 0x1106F), (0x110F0, 0x110F9), (0x11136, 0x1113F), (0x111D0, 0x111D9),
    (0x112F0, 0x112F9), (0x11450, 0x11459), (0x114D0, 0x114D9), (0x11650, 0x11659), (0x116C0, 0x116C9),
    (0x11730, 0x11739), (0x118E0, 0x118E9), (0x11950, 0x11959), (0x11C50, 0x11C59), (0x11D50, 0x11D59),
    (0x11DA0, 0x11DA9), (0x16A60, 0x16A69), (0x16AC0, 0x16AC9), (0x16B50, 0x16B59), (0x1D7CE, 0x1D7FF),
    (0x1E140, 0x1E149), (0x1E2F0, 0x1E2F9), (0x1E950, 0x1E959), (0x1FBF0, 0x1FBF9),
]
SPACE_RANGES = [(0x9, 0xA), (0xD, 0xD), (0x20, 0x20)]


# ---------------------------------------------------------------------------------------
# Code point sets: sorted lists of disjoint inclusive (lo, hi) ranges.


def normalise(ranges):
    out = []
    for lo, hi in sorted(ranges):
        if out and lo <= out[-1][1] + 1:
            out[-1] = (out[-1][0], max(out[-1][1], hi))
        else:
            out.append((lo, hi))
    return out


def complement(ranges):
    out = []
    at = 0
    for lo, hi in normalise(ranges):
        if lo > at:
            out.append((at, lo - 1))
        at = hi + 1
    if at <= MAX_CODE_POINT:
        out.append((at, MAX_CODE_POINT))
    return out


def contains(ranges, cp):
    return any(lo <= cp <= hi for lo, hi in ranges)


# ---------------------------------------------------------------------------------------
# Parsing. Trees: ("set", ranges) | ("seq", [trees]) | ("alt", [trees]) |
# ("rep", tree, min, max or None).

SINGLE_ESCAPES = {"n": 0xA, "r": 0xD, "t": 0x9}
SINGLE_ESCAPE_CHARS = set("\\|.?*+(){}-[]^")
META = set(".\\?*+{}()|[]")


class _Parser:
    def __init__(self, text, where):
        self.text = text
        self.at = 0
        self.where = where

    def error(self, message):
        fail(self.where, "pattern %r: %s at offset %d" % (self.text, message, self.at))

    def peek(self):
        return self.text[self.at] if self.at < len(self.text) else None

    def take(self):
        ch = self.peek()
        if ch is None:
            self.error("unexpected end")
        self.at += 1
        return ch

    def parse(self):
        tree = self.alternation()
        if self.at != len(self.text):
            self.error("unexpected %r" % self.peek())
        return tree

    def alternation(self):
        branches = [self.branch()]
        while self.peek() == "|":
            self.at += 1
            branches.append(self.branch())
        if len(branches) == 1:
            return branches[0]
        # one character per branch: a single set (a smaller automaton, the same language)
        singles = [b[1][0] for b in branches if len(b[1]) == 1 and b[1][0][0] == "set"]
        if len(singles) == len(branches):
            return ("set", normalise([r for t in singles for r in t[1]]))
        return ("alt", branches)

    def branch(self):
        pieces = []
        while self.peek() is not None and self.peek() not in "|)":
            pieces.append(self.piece())
        return ("seq", pieces)

    def piece(self):
        atom = self.atom()
        ch = self.peek()
        if ch == "?":
            self.at += 1
            return ("rep", atom, 0, 1)
        if ch == "*":
            self.at += 1
            return ("rep", atom, 0, None)
        if ch == "+":
            self.at += 1
            return ("rep", atom, 1, None)
        if ch == "{":
            self.at += 1
            low = self.number()
            high = low
            if self.peek() == ",":
                self.at += 1
                high = None if self.peek() == "}" else self.number()
            if self.take() != "}":
                self.error("quantifier not closed")
            if high is not None and high < low:
                self.error("quantifier {%d,%d}" % (low, high))
            return ("rep", atom, low, high)
        return atom

    def number(self):
        start = self.at
        while self.peek() is not None and self.peek().isdigit() and self.peek() in "0123456789":
            self.at += 1
        if start == self.at:
            self.error("number expected")
        return int(self.text[start:self.at])

    def atom(self):
        ch = self.take()
        if ch == "(":
            if self.peek() == "?":
                self.error("(? groups are not XML Schema")
            tree = self.alternation()
            if self.take() != ")":
                self.error("group not closed")
            return tree
        if ch == "[":
            return ("set", self.class_expression())
        if ch == ".":
            return ("set", complement([(0xA, 0xA), (0xD, 0xD)]))
        if ch == "\\":
            return ("set", self.escape(in_class=False))
        if ch in META:
            self.error("metacharacter %r" % ch)
        return ("set", [(ord(ch), ord(ch))])

    def escape(self, in_class):
        ch = self.take()
        if ch in SINGLE_ESCAPES:
            return [(SINGLE_ESCAPES[ch], SINGLE_ESCAPES[ch])]
        if ch in SINGLE_ESCAPE_CHARS:
            return [(ord(ch), ord(ch))]
        if ch == "d":
            return list(ND_RANGES)
        if ch == "D":
            return complement(ND_RANGES)
        if ch == "s":
            return list(SPACE_RANGES)
        if ch == "S":
            return complement(SPACE_RANGES)
        self.error("escape \\%s is not handled" % ch)

    def class_expression(self):
        """After '[': the set of a character class expression, through its ']'."""
        negated = False
        if self.peek() == "^":
            negated = True
            self.at += 1
        ranges = []
        first = True
        while True:
            ch = self.peek()
            if ch is None:
                self.error("class not closed")
            if ch == "]" and not first:
                self.at += 1
                break
            if ch == "[":
                self.error("nested class")
            if ch == "-" and not first:
                # A '-' is literal only as the last character of the group; '-[' would be
                # subtraction.
                if self.text[self.at + 1:self.at + 2] == "]":
                    self.at += 1
                    ranges.append((0x2D, 0x2D))
                    continue
                self.error("class subtraction or misplaced '-'")
            first = False
            if ch == "\\":
                self.at += 1
                single = self.escape(in_class=True)
                lo = single[0][0] if len(single) == 1 and single[0][0] == single[0][1] else None
            else:
                self.at += 1
                lo = ord(ch)
                single = [(lo, lo)]
            if lo is not None and self.peek() == "-" and self.text[self.at + 1:self.at + 2] not in ("]", ""):
                self.at += 1
                hi_ch = self.take()
                if hi_ch == "\\":
                    hi = self.escape(in_class=True)
                    if len(hi) != 1 or hi[0][0] != hi[0][1]:
                        self.error("range to a multi-character escape")
                    hi = hi[0][0]
                elif hi_ch == "[":
                    self.error("class subtraction is not handled")
                else:
                    hi = ord(hi_ch)
                if hi < lo:
                    self.error("range %r-%r" % (chr(lo), chr(hi)))
                ranges.append((lo, hi))
            else:
                ranges.extend(single)
        ranges = normalise(ranges)
        return complement(ranges) if negated else ranges


def parse_pattern(text, where):
    return _Parser(text, where).parse()


# ---------------------------------------------------------------------------------------
# Automata. The builder works on trees whose leaves are ("sym", frozenset of symbols):
# character classes for patterns, element declarations for content models.


class _Nfa:
    def __init__(self):
        self.eps = []    # state -> [states]
        self.edges = []  # state -> [(frozenset of symbols, state)]

    def state(self):
        self.eps.append([])
        self.edges.append([])
        return len(self.eps) - 1

    def build(self, tree):
        """Fragment (start, end) for tree."""
        kind = tree[0]
        if kind == "sym":
            s, e = self.state(), self.state()
            self.edges[s].append((tree[1], e))
            return s, e
        if kind == "seq":
            s = e = self.state()
            for part in tree[1]:
                ps, pe = self.build(part)
                self.eps[e].append(ps)
                e = pe
            return s, e
        if kind == "alt":
            s, e = self.state(), self.state()
            for part in tree[1]:
                ps, pe = self.build(part)
                self.eps[s].append(ps)
                self.eps[pe].append(e)
            return s, e
        if kind == "rep":
            _, inner, low, high = tree
            s = e = self.state()
            for _ in range(low):
                ps, pe = self.build(inner)
                self.eps[e].append(ps)
                e = pe
            if high is None:
                ps, pe = self.build(inner)
                loop_end = self.state()
                self.eps[e].append(ps)
                self.eps[e].append(loop_end)
                self.eps[pe].append(ps)
                self.eps[pe].append(loop_end)
                return s, loop_end
            # Optional copies nested, (x(x(x)?)?)?, so that the subset construction meets
            # one position at a time.
            ends = []
            for _ in range(high - low):
                ps, pe = self.build(inner)
                self.eps[e].append(ps)
                ends.append(e)
                e = pe
            final = self.state()
            self.eps[e].append(final)
            for skip in ends:
                self.eps[skip].append(final)
            return s, final
        raise ValueError(kind)


def _closure(nfa, states):
    stack = list(states)
    seen = set(states)
    while stack:
        s = stack.pop()
        for t in nfa.eps[s]:
            if t not in seen:
                seen.add(t)
                stack.append(t)
    return frozenset(seen)


class Dfa:
    """A deterministic automaton: state 0 starts, transitions[state] maps a symbol to the
    next state (absent: no way on), accepting[state]."""

    def __init__(self, transitions, accepting):
        self.transitions = transitions
        self.accepting = accepting

    def signature(self):
        return (tuple(tuple(sorted(t.items())) for t in self.transitions), tuple(self.accepting))


def build_dfa(tree, alphabet):
    nfa = _Nfa()
    start, end = nfa.build(tree)
    first = _closure(nfa, [start])
    ids = {first: 0}
    order = [first]
    transitions = []
    accepting = []
    at = 0
    while at < len(order):
        current = order[at]
        at += 1
        accepting.append(end in current)
        moves = {}
        for s in current:
            for symbols, target in nfa.edges[s]:
                for sym in symbols:
                    moves.setdefault(sym, set()).add(target)
        row = {}
        for sym in sorted(moves):
            if sym not in alphabet:
                continue
            closure = _closure(nfa, moves[sym])
            if closure not in ids:
                ids[closure] = len(order)
                order.append(closure)
            row[sym] = ids[closure]
        transitions.append(row)
    return _minimise(_prune(Dfa(transitions, accepting)))


def _prune(dfa):
    """Drops the states from which no accepting state can be reached (the library treats a
    missing transition as the dead end)."""
    n = len(dfa.accepting)
    reverse = [[] for _ in range(n)]
    for s, row in enumerate(dfa.transitions):
        for t in row.values():
            reverse[t].append(s)
    alive = set(s for s in range(n) if dfa.accepting[s])
    stack = list(alive)
    while stack:
        t = stack.pop()
        for s in reverse[t]:
            if s not in alive:
                alive.add(s)
                stack.append(s)
    if 0 not in alive:
        return Dfa([{}], [False])
    keep = [s for s in range(n) if s in alive]
    index = {s: i for i, s in enumerate(keep)}
    transitions = [{sym: index[t] for sym, t in dfa.transitions[s].items() if t in alive} for s in keep]
    return Dfa(transitions, [dfa.accepting[s] for s in keep])


def _minimise(dfa):
    """Hopcroft's partition refinement over the automaton completed with a dead state; state
    0 stays the start and the others are numbered in breadth-first order from it, so that
    the output is stable."""
    n = len(dfa.accepting)
    dead = n
    symbols = sorted({sym for row in dfa.transitions for sym in row})
    # reverse transitions: symbol -> target -> sources
    reverse = {sym: {} for sym in symbols}
    for s in range(n + 1):
        row = dfa.transitions[s] if s < n else {}
        for sym in symbols:
            reverse[sym].setdefault(row.get(sym, dead), []).append(s)
    accepting = frozenset(s for s in range(n) if dfa.accepting[s])
    rejecting = frozenset(range(n + 1)) - accepting
    partition = [b for b in (accepting, rejecting) if b]
    block_of = {}
    for i, b in enumerate(partition):
        for s in b:
            block_of[s] = i
    work = set(range(len(partition)))
    while work:
        splitter = partition[work.pop()]
        for sym in symbols:
            back = reverse[sym]
            sources = set()
            for t in splitter:
                sources.update(back.get(t, ()))
            if not sources:
                continue
            touched = {}
            for s in sources:
                touched.setdefault(block_of[s], set()).add(s)
            for b, inside in touched.items():
                block = partition[b]
                if len(inside) == len(block):
                    continue
                outside = block - inside
                inside = frozenset(inside)
                partition[b] = inside
                partition.append(outside)
                new = len(partition) - 1
                for s in outside:
                    block_of[s] = new
                if b in work:
                    work.add(new)
                else:
                    work.add(b if len(inside) <= len(outside) else new)
    # renumber blocks breadth-first from the start; the dead block is dropped
    dead_block = block_of[dead]
    order = {block_of[0]: 0}
    queue = [0]
    head = 0
    while head < len(queue):
        s = queue[head]
        head += 1
        for sym, t in sorted(dfa.transitions[s].items()):
            if block_of[t] != dead_block and block_of[t] not in order:
                order[block_of[t]] = len(order)
                queue.append(t)
    count = len(order)
    transitions = [None] * count
    accepting_out = [False] * count
    for s in queue:
        b = order[block_of[s]]
        if transitions[b] is not None:
            continue
        transitions[b] = {sym: order[block_of[t]] for sym, t in dfa.transitions[s].items()
                          if block_of[t] != dead_block}
        accepting_out[b] = dfa.accepting[s]
    return Dfa(transitions, accepting_out)


# ---------------------------------------------------------------------------------------
# Patterns as automata over character classes.


def _sets_of(tree, out):
    if tree[0] == "set":
        out.append(tree[1])
    elif tree[0] in ("seq", "alt"):
        for t in tree[1]:
            _sets_of(t, out)
    elif tree[0] == "rep":
        _sets_of(tree[1], out)


class CharClasses:
    """A partition of the code points into the classes a pattern tells apart. `starts` are
    the first code points of consecutive ranges, `classes` the class of each range."""

    def __init__(self, sets):
        cuts = {0}
        for ranges in sets:
            for lo, hi in ranges:
                cuts.add(lo)
                if hi + 1 <= MAX_CODE_POINT:
                    cuts.add(hi + 1)
        cuts = sorted(cuts)
        signatures = {}
        self.starts = []
        self.classes = []
        for cut in cuts:
            sig = tuple(contains(r, cut) for r in sets)
            if sig not in signatures:
                signatures[sig] = len(signatures)
            cls = signatures[sig]
            if self.classes and self.classes[-1] == cls:
                continue
            self.starts.append(cut)
            self.classes.append(cls)
        self.count = len(signatures)
        self._signatures = signatures

    def class_set(self, index):
        """The classes whose code points make up the index-th set the partition was made of."""
        return frozenset(cls for sig, cls in self._signatures.items() if sig[index])

    def class_of(self, cp):
        lo, hi = 0, len(self.starts) - 1
        while lo < hi:
            mid = (lo + hi + 1) // 2
            if self.starts[mid] <= cp:
                lo = mid
            else:
                hi = mid - 1
        return self.classes[lo]


def compile_pattern(text, where):
    """(CharClasses, Dfa) for a pattern; transitions are keyed by class."""
    tree = parse_pattern(text, where)
    sets = []
    _sets_of(tree, sets)
    classes = CharClasses(sets)
    counter = iter(range(len(sets)))

    def convert(t):
        if t[0] == "set":
            return ("sym", classes.class_set(next(counter)))
        if t[0] in ("seq", "alt"):
            return (t[0], [convert(x) for x in t[1]])
        return ("rep", convert(t[1]), t[2], t[3])

    dfa = build_dfa(convert(tree), set(range(classes.count)))
    return classes, dfa


def matches(compiled, value):
    """Runs a compiled pattern over value (for the generator's self-checks and the tests)."""
    classes, dfa = compiled
    state = 0
    for ch in value:
        state = dfa.transitions[state].get(classes.class_of(ord(ch)))
        if state is None:
            return False
    return dfa.accepting[state]


def sample(tree, rng, budget=40, prefer=None):
    """A random string the pattern tree matches (for test documents). A set that holds the
    character `prefer` gives it half of the time (patterns that write '.' for a decimal point
    match it with any character)."""
    kind = tree[0]
    if kind == "set":
        if prefer is not None and contains(tree[1], ord(prefer)) and rng.random() < 0.5:
            return prefer
        ranges = [r for r in tree[1] if r[0] < 0xD800 or r[0] > 0xDFFF]
        # prefer printable, non-space characters from the set
        nice = [(max(lo, 0x21), min(hi, 0x7E)) for lo, hi in ranges if lo <= 0x7E and hi >= 0x21]
        nice = [(lo, hi) for lo, hi in nice if lo <= hi and not (lo == hi == 0x7C)]
        pool = nice or [(lo, min(hi, lo + 50)) for lo, hi in ranges if not (0xD800 <= lo <= 0xDFFF)]
        lo, hi = rng.choice(pool)
        cp = rng.randint(lo, hi)
        if cp == 0x7C and lo != hi:
            cp = lo if lo != 0x7C else hi
        return chr(cp)
    if kind == "seq":
        return "".join(sample(t, rng, budget, prefer) for t in tree[1])
    if kind == "alt":
        return sample(rng.choice(tree[1]), rng, budget, prefer)
    _, inner, low, high = tree
    if high is None:
        high = low + 3
    count = rng.randint(low, min(high, max(low, budget)))
    return "".join(sample(inner, rng, budget, prefer) for _ in range(count))
