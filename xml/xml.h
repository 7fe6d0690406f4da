// XML layer: the element tree with its writer and entity escaping, whole-file
// loading, and the single-pass parser that reads device descriptions.
//
// Plain records and free functions in the style of the runtime: every object
// is made by a *_new (none when memory runs out) and released by the matching
// *_delete, which also unlinks it from the list that holds it. Lists own their
// members. Getters lend pointers into the object; setters copy the text.
// Setters that allocate return 1, or 0 when memory ran out. Name lookups
// ignore ASCII case and skip members whose name was never set.
#pragma once

#include "runtime/runtime.h"

// ---------------------------------------------------------------------------
// Attributes
// ---------------------------------------------------------------------------

struct cg_xml_attribute {
  cg_list node;     // link in the owning attribute list
  cg_string name;   // unset until named
  cg_string value;  // unset until a value is given
};

// A list head is an attribute record with is_head set and no name or value.
using cg_xml_attribute_list = cg_xml_attribute;

cg_xml_attribute* cg_xml_attribute_new();
void cg_xml_attribute_delete(cg_xml_attribute* attr);
int cg_xml_attribute_set_name(cg_xml_attribute* attr, const char* name);
char* cg_xml_attribute_get_name(const cg_xml_attribute* attr);
int cg_xml_attribute_set_value(cg_xml_attribute* attr, const char* value);
char* cg_xml_attribute_get_value(const cg_xml_attribute* attr);
cg_xml_attribute* cg_xml_attribute_next(cg_xml_attribute* attr);

cg_xml_attribute_list* cg_xml_attribute_list_new();
void cg_xml_attribute_list_delete(cg_xml_attribute_list* list);
void cg_xml_attribute_list_clear(cg_xml_attribute_list* list);
void cg_xml_attribute_list_add(cg_xml_attribute_list* list, cg_xml_attribute* attr);
cg_xml_attribute* cg_xml_attribute_list_first(cg_xml_attribute_list* list);
cg_xml_attribute* cg_xml_attribute_list_find(cg_xml_attribute_list* list, const char* name);
int cg_xml_attribute_list_size(const cg_xml_attribute_list* list);

// ---------------------------------------------------------------------------
// Element nodes
// ---------------------------------------------------------------------------

struct cg_xml_node;
// A list head is a node record with is_head set and every other field empty.
using cg_xml_node_list = cg_xml_node;

struct cg_xml_node {
  cg_list node;                      // link in the list that holds the node
  cg_string name;                    // element name, case kept
  cg_string value;                   // text; unset until text is set or added
  cg_xml_attribute_list attributes;  // ordered attributes (embedded head)
  cg_xml_node_list* children;        // ordered children (head allocated with the node)
  cg_xml_node* parent;               // not owned; none for a root
};

cg_xml_node_list* cg_xml_node_list_new();
// Deletes every member (with its subtree), then the head.
void cg_xml_node_list_delete(cg_xml_node_list* list);
void cg_xml_node_list_clear(cg_xml_node_list* list);
// Appends at the end (first unlinking the node from any list it is in).
void cg_xml_node_list_add(cg_xml_node_list* list, cg_xml_node* node);
cg_xml_node* cg_xml_node_list_first(cg_xml_node_list* list);
cg_xml_node* cg_xml_node_list_find(cg_xml_node_list* list, const char* name);
int cg_xml_node_list_size(const cg_xml_node_list* list);

cg_xml_node* cg_xml_node_new();
// Unlinks the node from whatever list holds it and deletes its subtree.
// Works without recursion, so any depth is fine.
void cg_xml_node_delete(cg_xml_node* node);
cg_xml_node* cg_xml_node_next(cg_xml_node* node);

int cg_xml_node_set_name(cg_xml_node* node, const char* name);
char* cg_xml_node_get_name(const cg_xml_node* node);
// Replaces the value; a missing text leaves the value as it was.
int cg_xml_node_set_value(cg_xml_node* node, const char* value);
// Appends n bytes; zero bytes leave an unset value unset.
int cg_xml_node_add_value(cg_xml_node* node, const char* bytes, int n);
char* cg_xml_node_get_value(const cg_xml_node* node);  // none when unset
cg_xml_node* cg_xml_node_get_parent(const cg_xml_node* node);

// The children list lives and dies with its node: never delete it directly.
cg_xml_node_list* cg_xml_node_get_children(cg_xml_node* node);
int cg_xml_node_has_children(const cg_xml_node* node);
// Appends the child at the end of the children and sets its parent (first
// unlinking it from any list it is in).
void cg_xml_node_add_child(cg_xml_node* parent, cg_xml_node* child);
cg_xml_node* cg_xml_node_find_child(cg_xml_node* node, const char* name);
// Value of the first child with that name; none when the node is missing,
// there is no such child or the child has no value.
char* cg_xml_node_get_child_value(cg_xml_node* node, const char* name);
// Replaces the first such child's value, or appends a new last child.
int cg_xml_node_set_child_value(cg_xml_node* node, const char* name, const char* value);

cg_xml_attribute_list* cg_xml_node_get_attributes(cg_xml_node* node);
// Finds the attribute ignoring case (it keeps its name and position) or
// appends a new one, then replaces its value.
int cg_xml_node_set_attribute(cg_xml_node* node, const char* name, const char* value);
cg_xml_attribute* cg_xml_node_get_attribute(cg_xml_node* node, const char* name);
char* cg_xml_node_get_attribute_value(cg_xml_node* node, const char* name);

// Appends the indented text of the node to the buffer: one space of indent
// per level, one line per leaf (<a>v</a>, never self-closing), values and
// attribute values escaped. Children are written when with_children is set.
// Returns the buffer's text, or none when memory ran out (nothing of this
// call is appended then).
char* cg_xml_node_to_string(cg_xml_node* node, int with_children, cg_string* buffer);

// ---------------------------------------------------------------------------
// Entities: & > < " ' and their five references, in place. Text produced by
// a replacement is never scanned again (&amp;lt; unescapes to &lt;).
// Return the new text, or none when memory ran out (text unchanged).
// ---------------------------------------------------------------------------

char* cg_xml_escape(cg_string* str);
char* cg_xml_unescape(cg_string* str);

// ---------------------------------------------------------------------------
// Whole-file loading
// ---------------------------------------------------------------------------

struct cg_file {
  cg_list node;    // link, like every listed record
  cg_string path;  // unset until named
  char* content;   // owned, NUL-terminated; none until a load
};

cg_file* cg_file_new();
void cg_file_delete(cg_file* file);
void cg_file_set_name(cg_file* file, const char* path);
char* cg_file_get_name(const cg_file* file);
int cg_file_exists(const cg_file* file);
// Size from the file's status; 0 when it cannot be read.
long cg_file_get_length(const cg_file* file);
// Reads the whole file into the content and prints it under the
// description banner on standard output. 1 on success, 0 on failure with
// errno saying why (ENODATA for an empty file).
int cg_file_load(cg_file* file);
// As cg_file_load, silently. *length receives the number of bytes read (the
// size from the file's status when the load fails).
int cg_file_load_with_length(cg_file* file, long* length);
char* cg_file_get_content(const cg_file* file);

// ---------------------------------------------------------------------------
// Parser
//
// cg_xml_parse reads a NUL-terminated text of `size` bytes (terminator
// included) and appends its root element to the list. It is this system's own
// small reader, not a general XML processor: see parser.cpp for the rules.
// Returns 1 also when nothing was added (no element, or elements left open);
// callers test the list. On 0 the list is unchanged. Diagnostics go to
// standard error. The parser carries no state; parses may run concurrently.
// ---------------------------------------------------------------------------

struct cg_xml_parser;

cg_xml_parser* cg_xml_parser_new();
void cg_xml_parser_delete(cg_xml_parser* parser);
int cg_xml_parse(cg_xml_parser* parser, cg_xml_node_list* list, const char* text, int size);
