// Thompson construction of content models and the folding of its epsilon moves.
#include "xml/validator_automaton.h"

#include <cstring>

namespace kvn {
namespace {

// A state while the automaton is being built: named transitions and epsilon moves, kept
// apart so that the closure can append to the named list in visiting order.
struct BuildState;

struct BuildTransition {
    const char* label;
    BuildState* target;
};

struct BuildState {
    bool accepting = false;
    bool kept = false;
    std::uint32_t visitMark = 0;  // index + 1 of the kept state whose closure last saw it
    Vec<BuildTransition> named;
    Vec<BuildState*> epsilon;
    AutomatonState* result = nullptr;  // the compiled state, for kept states
};

class Builder {
public:
    BuildState* NewState() {
        states_.push_back(MakeUnique<BuildState>());
        return states_.back().get();
    }

    // Builds `particle` so that its completion leads to `next`; returns its start state.
    BuildState* Build(const XmlContentParticle* particle, int kindOverride, BuildState* next);

    UniquePtr<ContentAutomaton> Fold(BuildState* start);

private:
    // One particle in construction. The frame first creates the states of its occurrence
    // (the loop state of * and +), then builds its body toward `inner`, then wraps.
    struct Frame {
        const XmlContentParticle* particle;
        int kind;
        int occurrence;
        BuildState* next;
        BuildState* inner = nullptr;   // where the body ends
        BuildState* loop = nullptr;    // * and +
        BuildState* choice = nullptr;  // choice groups
        BuildState* cursor = nullptr;  // sequence: start of the part built so far
        Vec<const XmlContentParticle*> children;  // sequence children, first to last
        std::size_t pending = 0;                  // sequence children not built yet
        const XmlContentParticle* child = nullptr;  // choice: next child to build
        bool started = false;
        bool awaiting = false;  // a child frame is running; its start arrives in `returned`
    };

    void Begin(Frame& f);
    // Advances a group frame; returns a child to build, or null when the body is done.
    const XmlContentParticle* Advance(Frame& f, BuildState* returned);
    BuildState* Wrap(Frame& f, BuildState* body);
    void CloseOver(BuildState* kept, std::uint32_t mark);

    Vec<UniquePtr<BuildState>> states_;
};

void Builder::Begin(Frame& f) {
    f.started = true;
    f.inner = f.next;
    if (f.occurrence == XML_OCCURS_ANY || f.occurrence == XML_OCCURS_ONE_OR_MORE) {
        f.loop = NewState();
        f.inner = f.loop;
    }
    if (f.kind == XML_CONTENT_SEQUENCE) {
        for (const XmlContentParticle* c = f.particle->firstChild; c; c = c->nextSibling) f.children.push_back(c);
        f.pending = f.children.size();
        f.cursor = f.inner;
    } else if (f.kind == XML_CONTENT_CHOICE || f.kind == XML_CONTENT_MIXED) {
        f.choice = NewState();
        f.child = f.particle->firstChild;
    }
}

const XmlContentParticle* Builder::Advance(Frame& f, BuildState* returned) {
    if (f.kind == XML_CONTENT_SEQUENCE) {
        if (f.awaiting) f.cursor = returned;
        f.awaiting = false;
        if (f.pending == 0) return nullptr;
        f.awaiting = true;
        return f.children[--f.pending];
    }
    if (f.awaiting) {
        f.choice->epsilon.push_back(returned);
        f.child = f.child->nextSibling;
    }
    f.awaiting = false;
    if (!f.child) return nullptr;
    f.awaiting = true;
    return f.child;
}

BuildState* Builder::Wrap(Frame& f, BuildState* body) {
    switch (f.occurrence) {
        case XML_OCCURS_OPTIONAL: {
            BuildState* bypass = NewState();
            bypass->epsilon.push_back(body);
            bypass->epsilon.push_back(f.next);
            return bypass;
        }
        case XML_OCCURS_ANY:
            f.loop->epsilon.push_back(body);
            f.loop->epsilon.push_back(f.next);
            return f.loop;
        case XML_OCCURS_ONE_OR_MORE: {
            BuildState* entry = NewState();
            entry->epsilon.push_back(body);
            f.loop->epsilon.push_back(body);
            f.loop->epsilon.push_back(f.next);
            return entry;
        }
        default:
            return body;
    }
}

BuildState* Builder::Build(const XmlContentParticle* particle, int kindOverride, BuildState* next) {
    Vec<Frame> stack;
    auto push = [&](const XmlContentParticle* p, int kind, BuildState* to) {
        Frame f{p, kind, p->occurrence, to};
        // A mixed model with names repeats its choice: (#PCDATA | a | b)*.
        if (kind == XML_CONTENT_MIXED) f.occurrence = XML_OCCURS_ANY;
        stack.push_back(std::move(f));
    };
    push(particle, kindOverride, next);
    BuildState* returned = nullptr;
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (!f.started) Begin(f);
        BuildState* body = nullptr;
        if (f.kind == XML_CONTENT_NAME) {
            body = NewState();
            body->named.push_back({f.particle->name, f.inner});
        } else {
            const XmlContentParticle* child = Advance(f, returned);
            if (child) {
                BuildState* to = f.kind == XML_CONTENT_SEQUENCE ? f.cursor : f.inner;
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

// Appends to `kept` the named transitions of every state reachable from it by epsilon
// moves, depth-first in move order; an accepting state on the way makes `kept` accepting.
void Builder::CloseOver(BuildState* kept, std::uint32_t mark) {
    Vec<BuildState*> pending;
    for (auto it = kept->epsilon.rbegin(); it != kept->epsilon.rend(); ++it) pending.push_back(*it);
    kept->visitMark = mark;
    while (!pending.empty()) {
        BuildState* s = pending.back();
        pending.pop_back();
        if (s->visitMark == mark) continue;
        s->visitMark = mark;
        if (s->accepting) kept->accepting = true;
        for (const BuildTransition& t : s->named) {
            bool present = false;
            for (const BuildTransition& have : kept->named) {
                if (have.target == t.target && std::strcmp(have.label, t.label) == 0) {
                    present = true;
                    break;
                }
            }
            if (!present) kept->named.push_back(t);
        }
        for (auto it = s->epsilon.rbegin(); it != s->epsilon.rend(); ++it) {
            if ((*it)->visitMark != mark) pending.push_back(*it);
        }
    }
}

UniquePtr<ContentAutomaton> Builder::Fold(BuildState* start) {
    start->kept = true;
    for (auto& s : states_) {
        for (const BuildTransition& t : s->named) t.target->kept = true;
    }
    std::uint32_t mark = 0;
    for (auto& s : states_) {
        if (s->kept) CloseOver(s.get(), ++mark);
    }
    auto automaton = MakeUnique<ContentAutomaton>();
    for (auto& s : states_) {
        if (!s->kept) continue;
        automaton->states.push_back(MakeUnique<AutomatonState>());
        s->result = automaton->states.back().get();
        s->result->accepting = s->accepting;
    }
    for (auto& s : states_) {
        if (!s->kept) continue;
        s->result->transitions.reserve(s->named.size());
        for (const BuildTransition& t : s->named) {
            s->result->transitions.push_back({t.label, t.target->result});
        }
    }
    automaton->start = start->result;
    return automaton;
}

}  // namespace

UniquePtr<ContentAutomaton> CompileContentModel(const XmlContentParticle* model, int kind) {
    Builder builder;
    BuildState* final = builder.NewState();
    final->accepting = true;
    BuildState* start = builder.Build(model, kind, final);
    return builder.Fold(start);
}

AutomatonState* AutomatonStep(const AutomatonState* state, const char* name) noexcept {
    for (const AutomatonTransition& t : state->transitions) {
        if (std::strcmp(t.label, name) == 0) return t.target;
    }
    return nullptr;
}

}  // namespace kvn
