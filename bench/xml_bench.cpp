// vbd-bench-xml: parse plus serialisation of the same description bytes,
// this system's parser and writer against libxml2, each for a fixed time.
// Prints documents per second and MB/s of input for both.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <time.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "xml/xml.h"

namespace {

double now_s() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Runs one round (parse, serialise, free) until `seconds` passed; the
// rounds per second. Each round's output length goes to *out_length.
template <typename Round>
double rate(double seconds, Round round) {
  for (int i = 0; i < 200; i++) round();  // warm-up
  long rounds = 0;
  double start = now_s();
  double elapsed = 0;
  do {
    for (int i = 0; i < 100; i++) round();
    rounds += 100;
    elapsed = now_s() - start;
  } while (elapsed < seconds);
  return static_cast<double>(rounds) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: vbd-bench-xml FILE [SECONDS]\n");
    return 2;
  }
  double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
  std::ifstream in(argv[1], std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string text = ss.str();
  if (text.empty()) {
    std::fprintf(stderr, "vbd-bench-xml: cannot read %s\n", argv[1]);
    return 1;
  }
  const int size = static_cast<int>(text.size()) + 1;  // the parser counts the NUL

  cg_xml_parser* parser = cg_xml_parser_new();
  size_t own_length = 0;
  bool own_ok = true;
  auto own_round = [&] {
    cg_xml_node_list* list = cg_xml_node_list_new();
    cg_xml_parse(parser, list, text.c_str(), size);
    cg_xml_node* root = cg_xml_node_list_first(list);
    cg_string* out = cg_string_new();
    if (!root || !cg_xml_node_to_string(root, 1, out)) own_ok = false;
    own_length = static_cast<size_t>(cg_string_length(out));
    cg_string_delete(out);
    cg_xml_node_list_delete(list);
  };
  auto own_parse = [&] {
    cg_xml_node_list* list = cg_xml_node_list_new();
    cg_xml_parse(parser, list, text.c_str(), size);
    cg_xml_node_list_delete(list);
  };

  xmlInitParser();
  size_t lib_length = 0;
  bool lib_ok = true;
  const int lib_options = XML_PARSE_NOBLANKS | XML_PARSE_NONET;
  auto lib_round = [&] {
    xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "description.xml",
                                  nullptr, lib_options);
    xmlChar* mem = nullptr;
    int mem_size = 0;
    if (doc) xmlDocDumpFormatMemory(doc, &mem, &mem_size, 1);
    if (!doc || !mem) lib_ok = false;
    lib_length = static_cast<size_t>(mem_size);
    xmlFree(mem);
    xmlFreeDoc(doc);
  };
  auto lib_parse = [&] {
    xmlFreeDoc(xmlReadMemory(text.data(), static_cast<int>(text.size()), "description.xml",
                             nullptr, lib_options));
  };

  double own = rate(seconds, own_round);
  double lib = rate(seconds, lib_round);
  double own_p = rate(seconds / 2, own_parse);
  double lib_p = rate(seconds / 2, lib_parse);
  cg_xml_parser_delete(parser);
  xmlCleanupParser();
  if (!own_ok || !lib_ok) {
    std::fprintf(stderr, "vbd-bench-xml: a parse or serialisation failed\n");
    return 1;
  }
  double mb = static_cast<double>(text.size()) / 1e6;
  std::printf("xml_bytes=%zu\n", text.size());
  std::printf("xml_own_out_bytes=%zu\n", own_length);
  std::printf("xml_lib_out_bytes=%zu\n", lib_length);
  std::printf("xml_own_docs=%.0f\n", own);
  std::printf("xml_lib_docs=%.0f\n", lib);
  std::printf("xml_own_mbps=%.1f\n", own * mb);
  std::printf("xml_lib_mbps=%.1f\n", lib * mb);
  std::printf("xml_own_parse_docs=%.0f\n", own_p);
  std::printf("xml_lib_parse_docs=%.0f\n", lib_p);
  return 0;
}
