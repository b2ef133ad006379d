// Content-model automata: matching order, acceptance and the transition order that the
// validator's suggestions show.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "xml/validator_automaton.h"

namespace kvn {
namespace {

// Builds model trees for the tests; the nodes live as long as the builder.
class Models {
public:
    XmlContentParticle* Leaf(const char* name, int occ = XML_OCCURS_ONCE) {
        return Node(XML_CONTENT_NAME, occ, name, {});
    }
    XmlContentParticle* Seq(std::vector<XmlContentParticle*> children, int occ = XML_OCCURS_ONCE) {
        return Node(XML_CONTENT_SEQUENCE, occ, nullptr, children);
    }
    XmlContentParticle* Choice(std::vector<XmlContentParticle*> children, int occ = XML_OCCURS_ONCE) {
        return Node(XML_CONTENT_CHOICE, occ, nullptr, children);
    }
    XmlContentParticle* Mixed(std::vector<XmlContentParticle*> children) {
        return Node(XML_CONTENT_MIXED, XML_OCCURS_ANY, nullptr, children);
    }

private:
    XmlContentParticle* Node(int kind, int occ, const char* name, const std::vector<XmlContentParticle*>& children) {
        nodes_.push_back({kind, occ, name, nullptr, nullptr});
        XmlContentParticle* n = &nodes_.back();
        for (std::size_t i = 0; i < children.size(); ++i) {
            if (i == 0) n->firstChild = children[i];
            if (i + 1 < children.size()) children[i]->nextSibling = children[i + 1];
        }
        return n;
    }
    std::deque<XmlContentParticle> nodes_;
};

std::string Labels(const AutomatonState* s) {
    std::string out;
    for (const AutomatonTransition& t : s->transitions) out += std::string(out.empty() ? "" : ",") + t.label;
    return out;
}

// Runs the children through the automaton: "ok", "end" (not accepting at the end) or
// "reject <name>" with the labels of the state that refused it.
std::string Feed(const ContentAutomaton& a, std::vector<const char*> children) {
    const AutomatonState* s = a.start;
    for (const char* c : children) {
        const AutomatonState* next = AutomatonStep(s, c);
        if (!next) return std::string("reject ") + c + " try " + Labels(s);
        s = next;
    }
    return s->accepting ? "ok" : "end try " + Labels(s);
}

TEST(ContentAutomaton, SequenceAndChoice) {
    Models m;
    auto seq = CompileContentModel(m.Seq({m.Leaf("a"), m.Leaf("b")}), XML_CONTENT_SEQUENCE);
    EXPECT_EQ(Feed(*seq, {"a", "b"}), "ok");
    EXPECT_EQ(Feed(*seq, {"b", "a"}), "reject b try a");
    EXPECT_EQ(Feed(*seq, {"a"}), "end try b");
    EXPECT_EQ(Feed(*seq, {"a", "b", "b"}), "reject b try ");

    auto plus = CompileContentModel(m.Choice({m.Leaf("a"), m.Leaf("b")}, XML_OCCURS_ONE_OR_MORE), XML_CONTENT_CHOICE);
    EXPECT_EQ(Feed(*plus, {"a", "b", "a"}), "ok");
    EXPECT_EQ(Feed(*plus, {}), "end try a,b");
}

TEST(ContentAutomaton, OptionalPartsKeepDeclarationOrder) {
    Models m;
    // (DomicilioFiscal?, ExpedidoEn?, (RegimenFiscal+))
    auto emisor = CompileContentModel(
        m.Seq({m.Leaf("D", XML_OCCURS_OPTIONAL), m.Leaf("E", XML_OCCURS_OPTIONAL),
               m.Seq({m.Leaf("R", XML_OCCURS_ONE_OR_MORE)})}),
        XML_CONTENT_SEQUENCE);
    EXPECT_EQ(Feed(*emisor, {}), "end try D,E,R");
    EXPECT_EQ(Feed(*emisor, {"E", "R", "R"}), "ok");
    EXPECT_EQ(Feed(*emisor, {"E", "D"}), "reject D try R");
    EXPECT_EQ(Feed(*emisor, {"D", "R", "E"}), "reject E try R");

    // (I* | C? | K? | P*)? : one kind of child only
    auto concepto = CompileContentModel(
        m.Choice({m.Leaf("I", XML_OCCURS_ANY), m.Leaf("C", XML_OCCURS_OPTIONAL), m.Leaf("K", XML_OCCURS_OPTIONAL),
                  m.Leaf("P", XML_OCCURS_ANY)},
                 XML_OCCURS_OPTIONAL),
        XML_CONTENT_CHOICE);
    EXPECT_EQ(Feed(*concepto, {}), "ok");
    EXPECT_EQ(Feed(*concepto, {"I", "I"}), "ok");
    EXPECT_EQ(Feed(*concepto, {"I", "P"}), "reject P try I");
    EXPECT_EQ(Feed(*concepto, {"C", "C"}), "reject C try ");
}

TEST(ContentAutomaton, FirstTransitionWinsInAmbiguousModels) {
    Models m;
    // ((a, b, c) | (a, c, b)): a always enters the first branch.
    auto model = CompileContentModel(
        m.Choice({m.Seq({m.Leaf("a"), m.Leaf("b"), m.Leaf("c")}), m.Seq({m.Leaf("a"), m.Leaf("c"), m.Leaf("b")})}),
        XML_CONTENT_CHOICE);
    EXPECT_EQ(Labels(model->start), "a,a");
    EXPECT_EQ(Feed(*model, {"a", "b", "c"}), "ok");
    EXPECT_EQ(Feed(*model, {"a", "c", "b"}), "reject c try b");
}

TEST(ContentAutomaton, MixedContentRepeatsItsNames) {
    Models m;
    auto mixed = CompileContentModel(m.Mixed({m.Leaf("x"), m.Leaf("y")}), XML_CONTENT_MIXED);
    EXPECT_EQ(Feed(*mixed, {}), "ok");
    EXPECT_EQ(Feed(*mixed, {"y", "x", "y", "y"}), "ok");
    EXPECT_EQ(Feed(*mixed, {"z"}), "reject z try x,y");
}

TEST(ContentAutomaton, StarOverOptionalDoesNotLoopForever) {
    Models m;
    auto model = CompileContentModel(m.Seq({m.Seq({m.Leaf("a", XML_OCCURS_OPTIONAL)}, XML_OCCURS_ANY), m.Leaf("b")}),
                                     XML_CONTENT_SEQUENCE);
    EXPECT_EQ(Feed(*model, {"a", "a", "b"}), "ok");
    EXPECT_EQ(Feed(*model, {"b"}), "ok");
    EXPECT_EQ(Labels(model->start), "a,b");
}

TEST(ContentAutomaton, DeepModelsNeedNoRecursion) {
    Models m;
    XmlContentParticle* p = m.Leaf("leaf");
    for (int i = 0; i < 200000; ++i) p = m.Seq({p}, i % 2 ? XML_OCCURS_OPTIONAL : XML_OCCURS_ONCE);
    auto model = CompileContentModel(p, XML_CONTENT_SEQUENCE);
    EXPECT_EQ(Feed(*model, {"leaf"}), "ok");
    EXPECT_EQ(Feed(*model, {}), "ok");
}

}  // namespace
}  // namespace kvn
