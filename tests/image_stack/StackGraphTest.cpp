#include <gtest/gtest.h>

#include "StackGraph.h"

namespace image_stack {
namespace {

CallSite Call(std::string callee) { return {.callee = std::move(callee)}; }

// Builds a graph from (name, frame, callees) rows with 8-byte return addresses.
struct Row {
  std::string name;
  std::uint32_t frame;
  std::vector<CallSite> calls;
};
StackGraph Build(const std::vector<Row> &rows, std::uint32_t returnAddress = 8) {
  StackGraph graph(returnAddress);
  for (const Row &row : rows) {
    graph.Add({.name = row.name, .object = "a.obj", .calls = row.calls});
    graph.SetFrame(row.name, "a.obj", row.frame, false);
  }
  graph.Compute();
  return graph;
}

std::vector<std::string> Names(const StackGraph &graph, const std::vector<std::size_t> &indexes) {
  std::vector<std::string> names;
  for (std::size_t i : indexes) {
    names.push_back(graph.Functions()[i].name);
  }
  return names;
}

const Depth &DepthOf(const StackGraph &graph, const std::string &name) {
  return graph.Depths()[*graph.Find(name)];
}

TEST(StackGraph, ChainAddsFramesAndReturnAddresses) {
  const StackGraph graph =
      Build({{"Entry", 40, {Call("Mid")}}, {"Mid", 16, {Call("Leaf")}}, {"Leaf", 4096, {}}});
  EXPECT_EQ(DepthOf(graph, "Leaf").bytes, 4096u + 8);
  EXPECT_EQ(DepthOf(graph, "Entry").bytes, (40u + 8) + (16 + 8) + (4096 + 8));
  EXPECT_EQ(Names(graph, DepthOf(graph, "Entry").chain),
            (std::vector<std::string>{"Entry", "Mid", "Leaf"}));
  EXPECT_EQ(Names(graph, graph.Roots()), std::vector<std::string>{"Entry"});
  EXPECT_TRUE(graph.Recursions().empty());
}

TEST(StackGraph, DiamondTakesTheDeeperBranchAndAFrameCanOutweighItsCallees) {
  // Entry -> {Small, Big} -> Shared; Big's own frame makes its branch the deeper one.
  const StackGraph graph = Build({{"Entry", 8, {Call("Small"), Call("Big")}},
                                  {"Small", 24, {Call("Shared")}},
                                  {"Big", 200, {Call("Shared")}},
                                  {"Shared", 32, {}},
                                  {"Alone", 64, {Call("Tiny")}},
                                  {"Tiny", 4, {}}});
  EXPECT_EQ(DepthOf(graph, "Entry").bytes, (8u + 8) + (200 + 8) + (32 + 8));
  EXPECT_EQ(Names(graph, DepthOf(graph, "Entry").chain),
            (std::vector<std::string>{"Entry", "Big", "Shared"}));
  // A callee smaller than what the caller's frame already holds adds only
  // on top of that frame: 64 + 8 + (4 + 8).
  EXPECT_EQ(DepthOf(graph, "Alone").bytes, 84u);
  EXPECT_EQ(Names(graph, graph.Roots()), (std::vector<std::string>{"Entry", "Alone"}));
}

TEST(StackGraph, RecursionIsReportedAndEachMemberCountedOncePerPath) {
  // Entry -> A -> B -> A (cycle), B -> Leaf, Self -> Self; and a cycle that
  // nothing outside it calls, whose members become roots.
  const StackGraph graph = Build({{"Entry", 16, {Call("A")}},
                                  {"A", 32, {Call("B")}},
                                  {"B", 48, {Call("A"), Call("Leaf")}},
                                  {"Leaf", 8, {}},
                                  {"Self", 24, {Call("Self")}},
                                  {"Ping", 8, {Call("Pong")}},
                                  {"Pong", 8, {Call("Ping")}}});
  ASSERT_EQ(graph.Recursions().size(), 3u);
  EXPECT_TRUE(DepthOf(graph, "A").recursive);
  EXPECT_TRUE(DepthOf(graph, "Self").recursive);
  EXPECT_FALSE(DepthOf(graph, "Entry").recursive);
  EXPECT_FALSE(DepthOf(graph, "Leaf").recursive);
  // A path through the cycle counts each member once.
  EXPECT_EQ(DepthOf(graph, "A").bytes, (32u + 8) + (48 + 8) + (8 + 8));
  EXPECT_EQ(DepthOf(graph, "B").bytes, (48u + 8) + (32 + 8));
  EXPECT_EQ(Names(graph, DepthOf(graph, "Entry").chain),
            (std::vector<std::string>{"Entry", "A", "B", "Leaf"}));
  EXPECT_EQ(DepthOf(graph, "Self").bytes, 24u + 8);
  EXPECT_EQ(Names(graph, graph.Roots()),
            (std::vector<std::string>{"Entry", "Self", "Ping", "Pong"}));
}

TEST(StackGraph, CallDepthsTailJumpsAndCallsThroughPointers) {
  // IA-32: arguments pushed at a call lie on top of the frame; a tail jump
  // after the epilogue reuses the caller's return address; a call through a
  // pointer costs its return address only.
  StackGraph graph(4);
  graph.Add({.name = "Entry",
             .object = "a.obj",
             .calls = {{.callee = "Callee", .depth = 20},
                       {.operand = "*0x18(%eax)", .depth = 28},
                       {.callee = "Tail", .depth = 0, .tail = true}}});
  graph.SetFrame("Entry", "a.obj", 12, false);
  graph.Add({.name = "Callee", .object = "a.obj"});
  graph.SetFrame("Callee", "a.obj", 100, false);
  graph.Add({.name = "Tail", .object = "a.obj"});
  graph.SetFrame("Tail", "a.obj", 160, false);
  graph.Compute();
  EXPECT_EQ(DepthOf(graph, "Callee").bytes, 104u);
  EXPECT_EQ(DepthOf(graph, "Tail").bytes, 164u);
  // max(20 + 104, 28 + 4, 0 + 164 - 4) + 4
  EXPECT_EQ(DepthOf(graph, "Entry").bytes, 164u);
  EXPECT_EQ(Names(graph, DepthOf(graph, "Entry").chain),
            (std::vector<std::string>{"Entry", "Tail"}));
}

TEST(StackGraph, SameNameInTwoObjectsResolvesToTheCallersOwn) {
  StackGraph graph(8);
  graph.Add({.name = "Entry", .object = "a.obj", .calls = {Call("Helper")}});
  graph.Add({.name = "Helper", .object = "b.obj"});
  graph.Add({.name = "Helper", .object = "a.obj"});
  graph.SetFrame("Helper", "a.obj", 64, false);
  graph.SetFrame("Helper", "b.obj", 8, false);
  graph.Compute();
  EXPECT_EQ(DepthOf(graph, "Entry").bytes, 8u + 64 + 8);
}

}  // namespace
}  // namespace image_stack
