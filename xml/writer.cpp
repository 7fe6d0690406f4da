// The XML writer: a node and its subtree as indented text, one space per
// level, leaves on one line, values and attribute values escaped.
//
// The text is built in a private byte buffer and appended to the caller's
// string once, so a large document costs a few reallocations rather than one
// per line. The tree is walked with an explicit stack, so any depth is fine.
#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "xml/tree_internal.h"

using vbd_xml::list_first;
using vbd_xml::list_next;
using vbd_xml::view_of;

namespace {

// The document text, a few bytes at a time.
using text_out = vbd_runtime::byte_buffer;

// The entity table by byte: 1 + the index of the byte's entity, or 0 for a
// byte written as it is.
constexpr std::array<unsigned char, 256> make_entity_index() {
  std::array<unsigned char, 256> index{};
  for (size_t i = 0; i < vbd_xml::kEntityCount; ++i)
    index[static_cast<unsigned char>(vbd_xml::kEntities[i].text[0])] =
        static_cast<unsigned char>(i + 1);
  return index;
}
constexpr std::array<unsigned char, 256> kEntityIndex = make_entity_index();

void append_escaped(text_out& out, std::string_view text) {
  const char* run = text.data();
  const char* const end = run + text.size();
  for (const char* p = run; p < end; ++p) {
    const unsigned entity = kEntityIndex[static_cast<unsigned char>(*p)];
    if (entity == 0) continue;
    out.append(std::string_view(run, static_cast<size_t>(p - run)));
    out.append(vbd_xml::kEntities[entity - 1].reference);
    run = p + 1;
  }
  out.append(std::string_view(run, static_cast<size_t>(end - run)));
}

// One open element whose children are being written.
struct frame {
  cg_xml_node* node;
  cg_xml_node* next_child;
};

class frame_stack {
 public:
  frame_stack() = default;
  frame_stack(const frame_stack&) = delete;
  frame_stack& operator=(const frame_stack&) = delete;
  ~frame_stack() { std::free(frames_); }

  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }
  frame& top() { return frames_[size_ - 1]; }
  void pop() { --size_; }
  bool push(frame f) {
    if (size_ == capacity_) {
      size_t want = capacity_ ? capacity_ * 2 : 32;
      auto* grown = static_cast<frame*>(std::realloc(frames_, want * sizeof(frame)));
      if (grown == nullptr) return false;
      frames_ = grown;
      capacity_ = want;
    }
    frames_[size_++] = f;
    return true;
  }

 private:
  frame* frames_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

void start_tag(text_out& out, cg_xml_node* node, size_t depth) {
  out.fill(' ', depth);
  out.append('<');
  out.append(view_of(node->name));
  for (cg_xml_attribute* attr = list_first(&node->attributes); attr; attr = list_next(attr)) {
    out.append(' ');
    out.append(view_of(attr->name));
    out.append("=\"");
    append_escaped(out, view_of(attr->value));
    out.append('"');
  }
  out.append('>');
}

void end_tag(text_out& out, const cg_xml_node* node) {
  out.append("</");
  out.append(view_of(node->name));
  out.append(">\n");
}

// Writes a leaf line, or the start line of a parent and pushes it.
bool open_node(text_out& out, frame_stack& stack, cg_xml_node* node, size_t depth,
               bool with_children) {
  start_tag(out, node, depth);
  if (with_children && vbd_xml::has_children(node)) {
    out.append('\n');
    return stack.push(frame{node, list_first(node->children)});
  }
  append_escaped(out, view_of(node->value));
  end_tag(out, node);
  return true;
}

}  // namespace

char* cg_xml_node_to_string(cg_xml_node* node, int with_children, cg_string* buffer) {
  if (buffer == nullptr) return nullptr;
  if (node == nullptr) return cg_string_value(buffer);

  text_out out;
  frame_stack stack;
  if (!open_node(out, stack, node, 0, with_children != 0)) return nullptr;
  while (!stack.empty() && out.ok()) {
    frame& top = stack.top();
    if (cg_xml_node* child = top.next_child) {
      top.next_child = list_next(child);
      if (!open_node(out, stack, child, stack.size(), true)) return nullptr;
    } else {
      out.fill(' ', stack.size() - 1);
      end_tag(out, top.node);
      stack.pop();
    }
  }
  // The buffer's cap keeps the text within a cg_string's int length.
  if (!out.ok()) return nullptr;
  return cg_string_append_n(buffer, out.data(), static_cast<int>(out.size()));
}
