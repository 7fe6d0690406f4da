// The XML writer: a node and its subtree as indented text, one space per
// level, leaves on one line, values and attribute values escaped.
//
// The text is built in a private buffer that grows geometrically and is
// appended to the caller's string once, so a large document costs a few
// reallocations rather than one per line. The tree is walked with an explicit
// stack, so any depth is fine.
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "xml/tree_internal.h"

namespace {

constexpr std::array<const char*, 256> make_references() {
  std::array<const char*, 256> refs{};
  refs['&'] = "&amp;";
  refs['>'] = "&gt;";
  refs['<'] = "&lt;";
  refs['"'] = "&quot;";
  refs['\''] = "&apos;";
  return refs;
}
// The same table as cg_xml_escape, one entry per byte.
constexpr std::array<const char*, 256> kReferences = make_references();

class Output {
 public:
  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output() { free(data_); }

  bool ok() const { return ok_; }
  const char* data() const { return data_; }
  size_t size() const { return size_; }

  void put(const char* bytes, size_t n) {
    if (n == 0 || !reserve(n)) return;
    memcpy(data_ + size_, bytes, n);
    size_ += n;
  }
  void put(const cg_string& s) {
    if (s.value != nullptr) put(s.value, static_cast<size_t>(s.length));
  }
  void put(char c) {
    if (!reserve(1)) return;
    data_[size_++] = c;
  }
  void indent(size_t depth) {
    if (depth == 0 || !reserve(depth)) return;
    memset(data_ + size_, ' ', depth);
    size_ += depth;
  }
  void escaped(const cg_string& s) {
    if (s.value == nullptr) return;
    const char* p = s.value;
    const char* end = p + s.length;
    const char* run = p;
    for (; p < end; ++p) {
      const char* ref = kReferences[static_cast<unsigned char>(*p)];
      if (ref == nullptr) continue;
      put(run, static_cast<size_t>(p - run));
      put(ref, strlen(ref));
      run = p + 1;
    }
    put(run, static_cast<size_t>(end - run));
  }

 private:
  bool reserve(size_t n) {
    if (!ok_) return false;
    if (capacity_ - size_ >= n) return true;
    size_t want = capacity_ < 256 ? 256 : capacity_;
    while (want - size_ < n) {
      if (want > SIZE_MAX / 2) return ok_ = false;
      want *= 2;
    }
    char* grown = static_cast<char*>(realloc(data_, want));
    if (grown == nullptr) return ok_ = false;
    data_ = grown;
    capacity_ = want;
    return true;
  }

  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool ok_ = true;
};

// One open element whose children are being written.
struct Frame {
  const cg_xml_node* node;
  const cg_list* next_child;
};

class FrameStack {
 public:
  FrameStack() = default;
  FrameStack(const FrameStack&) = delete;
  FrameStack& operator=(const FrameStack&) = delete;
  ~FrameStack() { free(frames_); }

  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }
  Frame& top() { return frames_[size_ - 1]; }
  void pop() { --size_; }
  bool push(Frame f) {
    if (size_ == capacity_) {
      size_t want = capacity_ ? capacity_ * 2 : 32;
      auto* grown = static_cast<Frame*>(realloc(frames_, want * sizeof(Frame)));
      if (grown == nullptr) return false;
      frames_ = grown;
      capacity_ = want;
    }
    frames_[size_++] = f;
    return true;
  }

 private:
  Frame* frames_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

bool has_children(const cg_xml_node* node) {
  return node->children != nullptr && node->children->list.next != &node->children->list;
}

void start_tag(Output& out, const cg_xml_node* node, size_t depth) {
  out.indent(depth);
  out.put('<');
  out.put(node->name);
  for (const cg_list* a = node->attributes.list.next; a != &node->attributes.list; a = a->next) {
    const auto* attr = reinterpret_cast<const cg_xml_attribute*>(a);
    out.put(' ');
    out.put(attr->name);
    out.put("=\"", 2);
    out.escaped(attr->value);
    out.put('"');
  }
  out.put('>');
}

void end_tag(Output& out, const cg_xml_node* node) {
  out.put("</", 2);
  out.put(node->name);
  out.put(">\n", 2);
}

// Writes a leaf line, or the start line of a parent and pushes it.
bool open_node(Output& out, FrameStack& stack, const cg_xml_node* node, size_t depth,
               bool with_children) {
  start_tag(out, node, depth);
  if (with_children && has_children(node)) {
    out.put('\n');
    return stack.push(Frame{node, node->children->list.next});
  }
  out.escaped(node->value);
  end_tag(out, node);
  return true;
}

}  // namespace

char* cg_xml_node_to_string(cg_xml_node* node, int with_children, cg_string* buffer) {
  if (buffer == nullptr) return nullptr;
  if (node == nullptr) return cg_string_value(buffer);

  Output out;
  FrameStack stack;
  if (!open_node(out, stack, node, 0, with_children != 0)) return nullptr;
  while (!stack.empty() && out.ok()) {
    Frame& top = stack.top();
    if (top.next_child != &top.node->children->list) {
      const auto* child = reinterpret_cast<const cg_xml_node*>(top.next_child);
      top.next_child = top.next_child->next;
      if (!open_node(out, stack, child, stack.size(), true)) return nullptr;
    } else {
      out.indent(stack.size() - 1);
      end_tag(out, top.node);
      stack.pop();
    }
  }
  if (!out.ok() || out.size() > static_cast<size_t>(INT_MAX) - 1) return nullptr;
  return cg_string_append_n(buffer, out.data(), static_cast<int>(out.size()));
}
