// Content models compiled to automata for the DTD validator.
//
// A model is compiled by Thompson construction (epsilon moves, built backwards from an
// accepting final state), then the epsilon moves are folded away: every kept state (the
// start state and every target of a named transition) receives the named transitions of
// its epsilon closure, visited depth-first, after its own. Matching takes the first
// transition whose label equals the element name, so the transition order decides both
// which branch a non-deterministic model follows and the order of the suggestions in the
// validator's messages.
#pragma once

#include <cstdint>

#include "base/memory.h"
#include "xml/declarations.h"

namespace kvn {

struct AutomatonState;

struct AutomatonTransition {
    const char* label;  // element name; points into the declaration's model tree
    AutomatonState* target;
};

struct AutomatonState {
    bool accepting = false;
    Vec<AutomatonTransition> transitions;  // own first, then those of the closure
};

// The kept states of one compiled model; the states live as long as the automaton.
struct ContentAutomaton {
    Vec<UniquePtr<AutomatonState>> states;
    AutomatonState* start = nullptr;
};

// Compiles the model of a declaration of kind choice, sequence, or mixed with names
// (the mixed model is (#PCDATA | a | b)*: a starred choice of its names). The labels point
// into `model`, which must outlive the automaton's use. Deep models are walked without
// recursion. Throws std::bad_alloc when memory runs out.
UniquePtr<ContentAutomaton> CompileContentModel(const XmlContentParticle* model, int kind);

// The target of the first transition of `state` labelled `name`, or null.
AutomatonState* AutomatonStep(const AutomatonState* state, const char* name) noexcept;

}  // namespace kvn
