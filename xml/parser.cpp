// The description parser: one forward scan over a NUL-terminated text that
// builds a node tree and hands its root element to the caller.
//
// It is deliberately small and its rules decide which descriptions load:
//  - one leading declaration, and only the exact form <?xml version="1.0"
//    (the scan starts after the first '>'); any other form reads as a start
//    tag named "?xml" that never closes;
//  - comments are cut out of a private copy first; their openers and closers
//    are counted anywhere in the text and must be equal in number;
//  - a tag runs from '<' to the next '>'. Its name is the trimmed body when the
//    body holds no '=', else the body up to the first white space. A tag
//    holds as many attributes as it has '=' characters; each attribute is read
//    from the previous one's closing quote on, and may run past the tag;
//  - only leaf elements get text: the bytes between a start tag and a
//    directly following end tag, white space kept;
//  - an end tag closes the open element whatever its name; surplus end tags
//    are ignored and elements after the root's end become the root's
//    children;
//  - the five predefined entity references are decoded in text and attribute
//    values (others stay as written), so the writer gives back what was read.
// An element left open is reported and nothing is added, with result 1.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "xml/tree_internal.h"

struct cg_xml_parser {
  int unused;  // the parser is stateless; the handle exists for callers
};

namespace {

using std::string_view;
using vbd_runtime::byte_buffer;
constexpr size_t npos = string_view::npos;

constexpr string_view kDeclaration = "<?xml version=\"1.0\"";
constexpr string_view kCommentOpen = "<!--";
constexpr string_view kCommentClose = "-->";
// Names longer than this are refused: they never occur in a description.
constexpr size_t kNameMax = 127;

constexpr const char* kMsgBadTag = "error!! vel_ele_get() return FALSE\n";
constexpr const char* kMsgNoTagEnd = "error!! not found \">\" \n";
constexpr const char* kMsgNoHeader = "error!! XML header not found\n";
constexpr const char* kMsgComments = "error!! The number of comment does not accord\n";
constexpr const char* kMsgUnbalanced = "error 要素の数が一致しない\n";

constexpr bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool is_quote(char c) { return c == '"' || c == '\''; }

string_view trim(string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// Occurrences of the marker, searched from the start, each search resuming
// just after the previous find.
int count_markers(string_view text, string_view marker) {
  int count = 0;
  for (size_t at = text.find(marker); at != npos; at = text.find(marker, at + marker.size()))
    ++count;
  return count;
}

// Decodes the five predefined references into the scratch buffer, which is
// reused for every decoded value of one parse; other '&' bytes are kept. The
// result is the input itself when it holds no '&'. False when memory ran out.
bool decode(string_view in, byte_buffer& scratch, string_view* out) {
  const void* amp = std::memchr(in.data(), '&', in.size());
  if (amp == nullptr) {
    *out = in;
    return true;
  }
  char* dst = scratch.reset_for(in.size());
  if (dst == nullptr) return false;
  size_t i = static_cast<size_t>(static_cast<const char*>(amp) - in.data());
  std::memcpy(dst, in.data(), i);
  size_t n = i;
  while (i < in.size()) {
    char c = in[i];
    size_t used = 1;
    if (c == '&') {
      string_view rest = in.substr(i);
      for (const vbd_xml::entity& e : vbd_xml::kEntities) {
        if (rest.starts_with(e.reference)) {
          c = e.text[0];
          used = e.reference.size();
          break;
        }
      }
    }
    dst[n++] = c;
    i += used;
  }
  *out = string_view(dst, n);
  return true;
}

// Copies the text without its comments into room for its bytes and a
// terminator. Each comment runs from an opener to the first closer after it;
// an opener without a closer ends the copy.
string_view strip_comments(string_view text, int openers, char* copy) {
  size_t written = 0;
  size_t read = 0;
  for (int pass = 0; pass <= openers; ++pass) {
    size_t open = text.find(kCommentOpen, read);
    if (open == npos) {
      std::memcpy(copy + written, text.data() + read, text.size() - read);
      written += text.size() - read;
      break;
    }
    std::memcpy(copy + written, text.data() + read, open - read);
    written += open - read;
    size_t close = text.find(kCommentClose, open + kCommentOpen.size());
    if (close == npos) break;
    read = close + kCommentClose.size();
  }
  copy[written] = '\0';
  return string_view(copy, written);
}

// The scan over the elements of one text, owning the tree it builds until the
// caller takes it.
class element_scan {
 public:
  explicit element_scan(string_view doc) : doc_(doc) {}
  element_scan(const element_scan&) = delete;
  element_scan& operator=(const element_scan&) = delete;
  ~element_scan() { cg_xml_node_delete(root_); }

  // False when a tag could not be read (reported) or memory ran out.
  bool run();
  // True when every element was closed.
  bool balanced() const { return current_ == nullptr; }
  // Hands the tree over to the caller.
  cg_xml_node* release() {
    cg_xml_node* root = root_;
    root_ = nullptr;
    return root;
  }

 private:
  // Reads `count` attributes from `read` on, storing them in the node when
  // one is given. False on a missing '=' (reported) or when memory ran out.
  bool read_attributes(size_t read, size_t count, cg_xml_node* node);
  void attach(cg_xml_node* node);

  string_view doc_;
  byte_buffer scratch_;
  cg_xml_node* root_ = nullptr;
  cg_xml_node* current_ = nullptr;
};

bool element_scan::read_attributes(size_t read, size_t count, cg_xml_node* node) {
  const size_t end = doc_.size();
  for (size_t i = 0; i < count; ++i) {
    size_t eq = doc_.find('=', read);
    if (eq == npos) {
      std::fputs(kMsgBadTag, stderr);
      return false;
    }
    string_view name = trim(doc_.substr(read, eq - read));
    size_t start = eq + 1;
    while (start < end && (is_space(doc_[start]) || is_quote(doc_[start]))) ++start;
    size_t stop = start;
    while (stop < end && !is_quote(doc_[stop])) ++stop;
    read = stop < end ? stop + 1 : end;
    if (node == nullptr) continue;
    string_view value;
    if (!decode(doc_.substr(start, stop - start), scratch_, &value) ||
        !vbd_xml::node_set_attribute(node, name, value))
      return false;
  }
  return true;
}

void element_scan::attach(cg_xml_node* node) {
  if (root_ == nullptr)
    root_ = node;
  else if (current_ != nullptr)
    cg_xml_node_add_child(current_, node);
  else
    cg_xml_node_add_child(root_, node);
}

bool element_scan::run() {
  size_t pos = 0;
  while (pos < doc_.size()) {
    size_t lt = doc_.find('<', pos);
    if (lt == npos) break;
    size_t body = lt + 1;
    const bool end_tag = body < doc_.size() && doc_[body] == '/';
    if (end_tag) ++body;
    size_t gt = doc_.find('>', body);
    if (gt == npos) {
      std::fputs(kMsgNoTagEnd, stderr);
      std::fputs(kMsgBadTag, stderr);
      return false;
    }
    const string_view tag = doc_.substr(body, gt - body);
    const auto equals = static_cast<size_t>(std::count(tag.begin(), tag.end(), '='));

    string_view name;
    if (equals == 0) {
      name = tag;
      if (!name.empty() && name.back() == '/') name.remove_suffix(1);
      name = trim(name);
    } else {
      size_t space = 0;
      while (space < tag.size() && !is_space(tag[space])) ++space;
      name = tag.substr(0, space);
    }
    if (name.size() > kNameMax) {
      std::fputs(kMsgBadTag, stderr);
      return false;
    }

    if (end_tag) {
      if (!read_attributes(body + name.size(), equals, nullptr)) return false;
      if (current_ != nullptr) current_ = current_->parent;
      pos = gt + 1;
      continue;
    }

    cg_xml_node* node = cg_xml_node_new();
    if (node == nullptr) return false;
    if (!vbd_xml::set_bytes(&node->name, name) ||
        !read_attributes(body + name.size(), equals, node)) {
      cg_xml_node_delete(node);
      return false;
    }
    attach(node);

    if (!tag.empty() && tag.back() == '/') {
      // Self-closing: the open element stays the one it was.
      pos = gt + 1;
      continue;
    }
    size_t next = doc_.find('<', gt + 1);
    if (next != npos && next + 1 < doc_.size() && doc_[next + 1] == '/') {
      string_view text;
      if (!decode(doc_.substr(gt + 1, next - gt - 1), scratch_, &text) ||
          !vbd_xml::append_bytes(&node->value, text))
        return false;
    }
    current_ = node;
    pos = next;
  }
  return true;
}

}  // namespace

cg_xml_parser* cg_xml_parser_new() {
  auto* parser = static_cast<cg_xml_parser*>(std::malloc(sizeof(cg_xml_parser)));
  if (parser != nullptr) parser->unused = 0;
  return parser;
}

void cg_xml_parser_delete(cg_xml_parser* parser) { std::free(parser); }

int cg_xml_parse(cg_xml_parser* /*parser*/, cg_xml_node_list* list, const char* text, int size) {
  if (list == nullptr || text == nullptr || size <= 0) return 0;
  const auto last = static_cast<size_t>(size) - 1;
  if (text[last] != '\0') {
    std::fprintf(stderr, "error!! last data[%d]=%c is not null character\n", size - 1,
                 text[last]);
    return 0;
  }
  // The text ends at its first NUL.
  string_view doc(text, strnlen(text, last));

  if (doc.starts_with(kDeclaration)) {
    size_t gt = doc.find('>');
    if (gt == npos) {
      std::fputs(kMsgNoHeader, stderr);
      return 0;
    }
    doc.remove_prefix(gt + 1);
  }
  if (doc.empty()) return 1;

  byte_buffer copy;
  const int openers = count_markers(doc, kCommentOpen);
  const int closers = count_markers(doc, kCommentClose);
  if (openers != closers) {
    std::fputs(kMsgComments, stderr);
    std::fprintf(stderr, "start =%d end =%d\n", openers, closers);
    return 0;
  }
  if (openers > 0) {
    char* room = copy.reset_for(doc.size());
    if (room == nullptr) return 0;
    doc = strip_comments(doc, openers, room);
  }

  element_scan scan(doc);
  if (!scan.run()) return 0;
  if (!scan.balanced()) {
    std::fputs(kMsgUnbalanced, stderr);
    return 1;
  }
  if (cg_xml_node* root = scan.release()) cg_xml_node_list_add(list, root);
  return 1;
}
