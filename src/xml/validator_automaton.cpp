// Thompson construction of content models and the folding of its epsilon moves.
//
// The construction works on indices: states are numbers, moves are entries of two edge
// lists (named and epsilon) in creation order. Before the closure the lists are grouped by
// source state, keeping creation order inside each group, so a state's moves are visited
// in the order they were made.
#include "xml/validator_automaton.h"

#include <cstring>

namespace kvn {
namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;

struct NamedEdge {
    std::uint32_t from;
    std::uint32_t to;
    const char* label;
};

struct EpsilonEdge {
    std::uint32_t from;
    std::uint32_t to;
};

// Edges grouped by source: the edges of state s are order[start[s] .. start[s + 1]).
struct Grouped {
    Vec<std::uint32_t> start;
    Vec<std::uint32_t> order;
};

template <class Edge>
Grouped GroupBySource(const Vec<Edge>& edges, std::uint32_t states) {
    Grouped g;
    g.start.assign(states + 1, 0);
    for (const Edge& e : edges) ++g.start[e.from + 1];
    for (std::uint32_t s = 0; s < states; ++s) g.start[s + 1] += g.start[s];
    g.order.resize(edges.size());
    Vec<std::uint32_t> fill(g.start.begin(), g.start.end() - 1);
    for (std::uint32_t i = 0; i < edges.size(); ++i) g.order[fill[edges[i].from]++] = i;
    return g;
}

class Builder {
public:
    std::uint32_t NewState() {
        accepting_.push_back(false);
        return static_cast<std::uint32_t>(accepting_.size() - 1);
    }
    void SetAccepting(std::uint32_t s) { accepting_[s] = true; }

    // Builds `particle` so that its completion leads to `next`; returns its start state.
    std::uint32_t Build(const XmlContentParticle* particle, int kind, std::uint32_t next);

    UniquePtr<ContentAutomaton> Fold(std::uint32_t start);

private:
    // One particle in construction: first the states of its occurrence (the loop state of
    // * and +), then its body toward `inner`, then the wrapping.
    struct Frame {
        const XmlContentParticle* particle;
        int kind;
        int occurrence;
        std::uint32_t next;
        std::uint32_t inner = kNone;   // where the body ends
        std::uint32_t loop = kNone;    // * and +
        std::uint32_t choice = kNone;  // choice groups
        std::uint32_t cursor = kNone;  // sequence: start of the part built so far
        std::size_t childBase = 0;     // sequence: its children in `children_`, first to last
        std::size_t pending = 0;       // sequence: children not built yet
        const XmlContentParticle* child = nullptr;  // choice: next child to build
        bool started = false;
        bool awaiting = false;  // a child frame ran; its start state arrived in `returned`
    };

    void Begin(Frame& f);
    const XmlContentParticle* Advance(Frame& f, std::uint32_t returned);
    std::uint32_t Wrap(const Frame& f, std::uint32_t body);
    void Epsilon(std::uint32_t from, std::uint32_t to) { epsilon_.push_back({from, to}); }

    Vec<bool> accepting_;
    Vec<NamedEdge> named_;
    Vec<EpsilonEdge> epsilon_;
    Vec<const XmlContentParticle*> children_;  // sequence children of the open frames
};

void Builder::Begin(Frame& f) {
    f.started = true;
    f.inner = f.next;
    if (f.occurrence == XML_OCCURS_ANY || f.occurrence == XML_OCCURS_ONE_OR_MORE) {
        f.loop = NewState();
        f.inner = f.loop;
    }
    if (f.kind == XML_CONTENT_SEQUENCE) {
        f.childBase = children_.size();
        for (const XmlContentParticle* c = f.particle->firstChild; c; c = c->nextSibling) children_.push_back(c);
        f.pending = children_.size() - f.childBase;
        f.cursor = f.inner;
    } else if (f.kind == XML_CONTENT_CHOICE || f.kind == XML_CONTENT_MIXED) {
        f.choice = NewState();
        f.child = f.particle->firstChild;
    }
}

// Returns the next child of a group to build, or null when its body is complete.
const XmlContentParticle* Builder::Advance(Frame& f, std::uint32_t returned) {
    if (f.kind == XML_CONTENT_SEQUENCE) {
        if (f.awaiting) f.cursor = returned;
        f.awaiting = false;
        if (f.pending == 0) {
            children_.resize(f.childBase);
            return nullptr;
        }
        f.awaiting = true;
        return children_[f.childBase + --f.pending];
    }
    if (f.awaiting) {
        Epsilon(f.choice, returned);
        f.child = f.child->nextSibling;
    }
    f.awaiting = false;
    if (!f.child) return nullptr;
    f.awaiting = true;
    return f.child;
}

std::uint32_t Builder::Wrap(const Frame& f, std::uint32_t body) {
    switch (f.occurrence) {
        case XML_OCCURS_OPTIONAL: {
            std::uint32_t bypass = NewState();
            Epsilon(bypass, body);
            Epsilon(bypass, f.next);
            return bypass;
        }
        case XML_OCCURS_ANY:
            Epsilon(f.loop, body);
            Epsilon(f.loop, f.next);
            return f.loop;
        case XML_OCCURS_ONE_OR_MORE: {
            std::uint32_t entry = NewState();
            Epsilon(entry, body);
            Epsilon(f.loop, body);
            Epsilon(f.loop, f.next);
            return entry;
        }
        default:
            return body;
    }
}

std::uint32_t Builder::Build(const XmlContentParticle* particle, int kind, std::uint32_t next) {
    Vec<Frame> stack;
    auto push = [&](const XmlContentParticle* p, int k, std::uint32_t to) {
        Frame f{p, k, p->occurrence, to};
        // A mixed model with names repeats its choice: (#PCDATA | a | b)*.
        if (k == XML_CONTENT_MIXED) f.occurrence = XML_OCCURS_ANY;
        stack.push_back(f);
    };
    push(particle, kind, next);
    std::uint32_t returned = kNone;
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (!f.started) Begin(f);
        std::uint32_t body;
        if (f.kind == XML_CONTENT_NAME) {
            body = NewState();
            named_.push_back({body, f.inner, f.particle->name});
        } else {
            const XmlContentParticle* child = Advance(f, returned);
            if (child) {
                std::uint32_t to = f.kind == XML_CONTENT_SEQUENCE ? f.cursor : f.inner;
                push(child, child->kind, to);  // invalidates f
                continue;
            }
            body = f.kind == XML_CONTENT_SEQUENCE ? f.cursor : f.choice;
        }
        returned = Wrap(f, body);
        stack.pop_back();
    }
    return returned;
}

UniquePtr<ContentAutomaton> Builder::Fold(std::uint32_t start) {
    const std::uint32_t count = static_cast<std::uint32_t>(accepting_.size());
    // Kept: the start state and every target of a named move.
    Vec<std::uint32_t> keptIndex(count, kNone);
    std::uint32_t kept = 0;
    keptIndex[start] = kept++;
    for (const NamedEdge& e : named_) {
        if (keptIndex[e.to] == kNone) keptIndex[e.to] = kept++;
    }
    Grouped namedBy = GroupBySource(named_, count);
    Grouped epsilonBy = GroupBySource(epsilon_, count);

    auto automaton = MakeUnique<ContentAutomaton>();
    automaton->states.resize(kept);  // sized once: the pointers below stay valid
    Vec<std::uint32_t> firstOf(kept, 0), countOf(kept, 0);
    Vec<std::uint32_t> mark(count, 0);
    Vec<std::uint32_t> pending;
    std::uint32_t visit = 0;
    for (std::uint32_t s = 0; s < count; ++s) {
        if (keptIndex[s] == kNone) continue;
        std::uint32_t k = keptIndex[s];
        bool accepting = accepting_[s];
        std::size_t first = automaton->transitions.size();
        // The named moves of every state reached by epsilon moves, depth-first in move
        // order, the state's own first; a (label, target) pair is taken once.
        ++visit;
        pending.push_back(s);
        while (!pending.empty()) {
            std::uint32_t r = pending.back();
            pending.pop_back();
            if (mark[r] == visit) continue;
            mark[r] = visit;
            accepting = accepting || accepting_[r];
            for (std::uint32_t i = namedBy.start[r]; i < namedBy.start[r + 1]; ++i) {
                const NamedEdge& e = named_[namedBy.order[i]];
                AutomatonState* target = &automaton->states[keptIndex[e.to]];
                bool present = false;
                for (std::size_t t = first; t < automaton->transitions.size() && !present; ++t) {
                    const AutomatonTransition& have = automaton->transitions[t];
                    present = have.target == target && std::strcmp(have.label, e.label) == 0;
                }
                if (!present) automaton->transitions.push_back({e.label, target});
            }
            for (std::uint32_t i = epsilonBy.start[r + 1]; i > epsilonBy.start[r]; --i) {
                std::uint32_t to = epsilon_[epsilonBy.order[i - 1]].to;
                if (mark[to] != visit) pending.push_back(to);
            }
        }
        automaton->states[k].accepting = accepting;
        firstOf[k] = static_cast<std::uint32_t>(first);
        countOf[k] = static_cast<std::uint32_t>(automaton->transitions.size() - first);
    }
    // The transition list is complete: the states' views into it stay valid from here.
    for (std::uint32_t k = 0; k < kept; ++k) {
        automaton->states[k].transitions =
            std::span<const AutomatonTransition>(automaton->transitions.data() + firstOf[k], countOf[k]);
    }
    automaton->start = &automaton->states[keptIndex[start]];
    return automaton;
}

}  // namespace

UniquePtr<ContentAutomaton> CompileContentModel(const XmlContentParticle* model, int kind) {
    Builder builder;
    std::uint32_t final = builder.NewState();
    builder.SetAccepting(final);
    std::uint32_t start = builder.Build(model, kind, final);
    return builder.Fold(start);
}

AutomatonState* AutomatonStep(const AutomatonState* state, const char* name) noexcept {
    for (const AutomatonTransition& t : state->transitions) {
        if (std::strcmp(t.label, name) == 0) return t.target;
    }
    return nullptr;
}

}  // namespace kvn
