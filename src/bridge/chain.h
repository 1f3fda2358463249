// The chain a list result is gathered in: records owned by the method, each
// new record put at the head, so the chain holds them newest first. The
// chain frees every record it holds when it goes out of scope.
#pragma once

#include <new>
#include <utility>

namespace mscapi {

// Node must have a `Node *next` member.
template <typename Node>
class Chain {
 public:
  Chain() = default;
  ~Chain() { clear(); }
  Chain(const Chain &) = delete;
  Chain &operator=(const Chain &) = delete;

  // Makes a record, or null when the memory cannot be had.
  template <typename... Args>
  static Node *make(Args &&...args) {
    return new (std::nothrow) Node{std::forward<Args>(args)...};
  }
  void pushFront(Node *n) {
    n->next = head_;
    head_ = n;
  }
  Node *head() const { return head_; }
  template <typename F>
  void forEach(F &&f) const {
    for (const Node *n = head_; n != nullptr; n = n->next) f(*n);
  }
  void clear() {
    while (head_ != nullptr) delete std::exchange(head_, head_->next);
  }

 private:
  Node *head_ = nullptr;
};

}  // namespace mscapi
