#include "StackGraph.h"

#include <algorithm>
#include <functional>
#include <set>

namespace image_stack {

std::size_t StackGraph::Add(Function function) {
  const std::size_t index = functions_.size();
  byName_.emplace(function.name, index);
  functions_.push_back(std::move(function));
  return index;
}

bool StackGraph::SetFrame(const std::string &name, const std::string &object, std::uint32_t bytes,
                          bool dynamic) {
  auto [first, last] = byName_.equal_range(name);
  for (auto it = first; it != last; ++it) {
    Function &function = functions_[it->second];
    if (object.empty() || function.object == object) {
      function.frame = bytes;
      function.frameKnown = true;
      function.frameDynamic = dynamic;
      return true;
    }
  }
  return false;
}

void StackGraph::Retain(const std::vector<std::string> &keep) {
  const std::set<std::string> names(keep.begin(), keep.end());
  std::erase_if(functions_, [&](const Function &f) { return !names.contains(f.name); });
  byName_.clear();
  for (std::size_t i = 0; i < functions_.size(); ++i) {
    byName_.emplace(functions_[i].name, i);
  }
}

std::optional<std::size_t> StackGraph::Find(const std::string &name) const {
  auto it = byName_.find(name);
  if (it == byName_.end()) {
    return std::nullopt;
  }
  return it->second;
}

std::optional<std::size_t> StackGraph::Resolve(std::size_t caller,
                                               const std::string &callee) const {
  if (callee.empty()) {
    return std::nullopt;
  }
  auto [first, last] = byName_.equal_range(callee);
  if (first == last) {
    return std::nullopt;
  }
  for (auto it = first; it != last; ++it) {
    if (functions_[it->second].object == functions_[caller].object) {
      return it->second;
    }
  }
  return first->second;
}

std::vector<std::size_t> StackGraph::Reachable(std::size_t root) const {
  std::vector<bool> seen(functions_.size());
  std::vector<std::size_t> order{root};
  seen[root] = true;
  for (std::size_t next = 0; next < order.size(); ++next) {
    const std::size_t f = order[next];
    for (const CallSite &call : functions_[f].calls) {
      if (auto callee = Resolve(f, call.callee); callee && !seen[*callee]) {
        seen[*callee] = true;
        order.push_back(*callee);
      }
    }
  }
  return order;
}

std::uint64_t StackGraph::CallCost(std::size_t caller, const CallSite &call,
                                   std::uint64_t calleeBytes) const {
  const std::uint32_t frame = functions_[caller].frame;
  if (call.tail) {
    // The callee takes over the caller's return address; what the caller
    // still holds at the jump (normally nothing) stays below it.
    return call.depth.value_or(frame) + calleeBytes - returnAddress_;
  }
  return std::max<std::uint64_t>(call.depth.value_or(frame), frame) + calleeBytes;
}

void StackGraph::Compute() {
  const std::size_t count = functions_.size();
  depths_.assign(count, {});
  recursions_.clear();
  roots_.clear();

  // Strongly connected components (Tarjan); each is completed after every
  // component it calls into, so depths are computed callees first.
  std::vector<std::size_t> component(count, SIZE_MAX);
  std::vector<std::size_t> index(count, SIZE_MAX), low(count, 0);
  std::vector<bool> onStack(count);
  std::vector<std::size_t> stack;
  std::vector<std::vector<std::size_t>> components;
  std::size_t counter = 0;
  std::function<void(std::size_t)> visit = [&](std::size_t f) {
    index[f] = low[f] = counter++;
    stack.push_back(f);
    onStack[f] = true;
    for (const CallSite &call : functions_[f].calls) {
      auto callee = Resolve(f, call.callee);
      if (!callee) {
        continue;
      }
      if (index[*callee] == SIZE_MAX) {
        visit(*callee);
        low[f] = std::min(low[f], low[*callee]);
      } else if (onStack[*callee]) {
        low[f] = std::min(low[f], index[*callee]);
      }
    }
    if (low[f] == index[f]) {
      std::vector<std::size_t> members;
      std::size_t member;
      do {
        member = stack.back();
        stack.pop_back();
        onStack[member] = false;
        component[member] = components.size();
        members.push_back(member);
      } while (member != f);
      components.push_back(std::move(members));
    }
  };
  for (std::size_t f = 0; f < count; ++f) {
    if (index[f] == SIZE_MAX) {
      visit(f);
    }
  }

  std::vector<bool> entered(components.size());
  std::vector<bool> onPath(count);
  for (std::size_t c = 0; c < components.size(); ++c) {
    const std::vector<std::size_t> &members = components[c];
    bool recursive = members.size() > 1;
    for (std::size_t f : members) {
      for (const CallSite &call : functions_[f].calls) {
        auto callee = Resolve(f, call.callee);
        if (callee && component[*callee] == c) {
          recursive = true;
        } else if (callee) {
          entered[component[*callee]] = true;
        }
      }
    }
    // Inside a cycle a path counts each member once: the real depth
    // depends on how often the code goes round, which only the data knows.
    std::function<Depth(std::size_t)> walk = [&](std::size_t f) {
      onPath[f] = true;
      std::uint64_t deepest = functions_[f].frame;
      std::vector<std::size_t> rest;
      for (const CallSite &call : functions_[f].calls) {
        auto callee = Resolve(f, call.callee);
        Depth inner;
        if (!callee) {
          inner.bytes = returnAddress_;
        } else if (component[*callee] != c) {
          inner = depths_[*callee];
        } else if (!onPath[*callee]) {
          inner = walk(*callee);
        } else {
          continue;
        }
        const std::uint64_t cost = CallCost(f, call, inner.bytes);
        if (cost > deepest) {
          deepest = cost;
          rest = std::move(inner.chain);
        }
      }
      onPath[f] = false;
      Depth depth{.bytes = returnAddress_ + deepest, .chain = {f}, .recursive = recursive};
      depth.chain.insert(depth.chain.end(), rest.begin(), rest.end());
      return depth;
    };
    std::vector<Depth> results;
    for (std::size_t f : members) {
      results.push_back(walk(f));
    }
    for (std::size_t i = 0; i < members.size(); ++i) {
      depths_[members[i]] = std::move(results[i]);
    }
    if (recursive) {
      Recursion recursion{members};
      std::reverse(recursion.members.begin(), recursion.members.end());
      recursions_.push_back(std::move(recursion));
    }
  }
  for (std::size_t f = 0; f < count; ++f) {
    if (!entered[component[f]]) {
      roots_.push_back(f);
    }
  }
}

}  // namespace image_stack
