// cg_string_tokenizer: splits a writable text in place at delimiter characters.
#include <cstdlib>
#include <cstring>

#include "runtime/runtime.h"

namespace {

bool is_delimiter(const cg_string_tokenizer* tok, char c) {
  for (int i = 0; i < tok->delimiter_count; i++) {
    if (tok->delimiters[i] == c) return true;
  }
  return false;
}

}  // namespace

cg_string_tokenizer* cg_string_tokenizer_new(char* text, const char* delimiters) {
  if (!text || !delimiters) return nullptr;
  auto* tok = static_cast<cg_string_tokenizer*>(std::calloc(1, sizeof(cg_string_tokenizer)));
  if (!tok) return nullptr;
  tok->value = text;
  tok->delimiters = delimiters;
  tok->delimiter_count = static_cast<int>(std::strlen(delimiters));
  tok->next_start = 0;
  tok->last_index = static_cast<int>(std::strlen(text)) - 1;
  cg_string_tokenizer_next(tok);  // prepares the first token
  return tok;
}

void cg_string_tokenizer_delete(cg_string_tokenizer* tok) { std::free(tok); }

int cg_string_tokenizer_has_more(const cg_string_tokenizer* tok) { return tok ? tok->has_more : 0; }

char* cg_string_tokenizer_next(cg_string_tokenizer* tok) {
  if (!tok) return nullptr;
  char* token = tok->next_token;
  tok->current_token = token;
  tok->next_token = nullptr;
  tok->has_more = 0;
  tok->saved_delimiter = '\0';
  if (tok->next_start > tok->last_index) return token;

  int seen = 0;
  for (int i = tok->next_start; i <= tok->last_index; i++) {
    char c = tok->value[i];
    if (!is_delimiter(tok, c)) {
      seen++;
      continue;
    }
    if (seen == 0) {
      tok->next_start = i + 1;  // leading delimiter: skip it
      continue;
    }
    tok->saved_delimiter = c;
    tok->value[i] = '\0';
    tok->next_token = tok->value + tok->next_start;
    tok->next_start = i + 1;
    tok->has_more = 1;
    return token;
  }
  if (seen > 0) {
    tok->next_token = tok->value + tok->next_start;
    tok->next_start = tok->last_index + 1;
    tok->has_more = 1;
  }
  return token;
}

char* cg_string_tokenizer_rest(cg_string_tokenizer* tok) {
  if (!tok || !tok->next_token) return nullptr;
  char* token = tok->next_token;
  if (tok->saved_delimiter) token[std::strlen(token)] = tok->saved_delimiter;
  tok->saved_delimiter = '\0';
  tok->current_token = token;
  tok->next_token = nullptr;
  tok->has_more = 0;
  return token;
}
