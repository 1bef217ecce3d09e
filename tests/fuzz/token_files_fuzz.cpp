// QIVA_token over a token file and a counter file whose contents and lengths come from the
// input. The prefix must be read as "white space, optional '+', a decimal number from 0 to 255"
// or refused with 21 on every call (and then the counter file is never touched); the tokens
// must be the prefix OR-ed with the counter's consecutive values, and the counter file must
// end up with its first 4 bytes advanced and everything after them unchanged.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "private_api.h"

namespace {

std::string token_path;
std::string counter_path;

void _remove_files() {
  unlink(counter_path.c_str());
  unlink(token_path.c_str());
  rmdir(token_path.substr(0, token_path.rfind('/')).c_str());
}

void _write_file(const std::string &path, const std::string &bytes) {
  FILE *file = fopen(path.c_str(), "wb");
  if (file == nullptr || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) abort();
  fclose(file);
}

// The file's bytes, or false when it does not exist.
bool _read_file(const std::string &path, std::string *bytes) {
  FILE *file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  bytes->clear();
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) bytes->append(buffer, n);
  fclose(file);
  return true;
}

// The prefix the text starts with, or -1 when it holds none from 0 to 255.
int _expected_prefix(const std::string &text) {
  size_t at = 0;
  while (at < text.size() && isspace(static_cast<unsigned char>(text[at]))) ++at;
  if (at < text.size() && text[at] == '+') ++at;
  if (at == text.size() || !isdigit(static_cast<unsigned char>(text[at]))) return -1;
  unsigned value = 0;
  for (; at < text.size() && isdigit(static_cast<unsigned char>(text[at])); ++at) {
    value = value * 10 + static_cast<unsigned>(text[at] - '0');
    if (value > 255) return -1;
  }
  return static_cast<int>(value);
}

uint32_t _advanced(uint32_t value) { return value + 1 == (1u << 24) ? 0 : value + 1; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char pattern[] = "/tmp/veska_token_fuzz_XXXXXX";
  if (mkdtemp(pattern) == nullptr) abort();
  token_path = std::string(pattern) + "/token";
  counter_path = token_path + ".ctr";
  atexit(_remove_files);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  const bool counter_exists = in.ConsumeBool();
  const std::string token_text = in.ConsumeRandomLengthString(512);
  const std::string counter_bytes = in.ConsumeRemainingBytesAsString();
  _write_file(token_path, token_text);
  if (counter_exists) {
    _write_file(counter_path, counter_bytes);
  } else {
    unlink(counter_path.c_str());
  }

  // One activation's private record, prepared as initialisation prepares it.
  auto *state = static_cast<ve_config_data_t *>(calloc(1, sizeof(ve_config_data_t)));
  state->token_init_once = VE_ONCE_INIT;
  state->counter_init_once = VE_ONCE_INIT;
  state->token_fd = -1;
  state->counter_file = -1;
  qiva_config_t config;
  memset(&config, 0, sizeof config);
  config.handle = state;
  config.token_filename = token_path.c_str();

  qiva_int32_t tokens[2] = {-1, -1};
  const int first = QIVA_token(&config, &tokens[0]);
  const int second = QIVA_token(&config, &tokens[1]);
  if (VE_token_release(state) != 0) abort();
  free(state);

  std::string after;
  const bool counter_after = _read_file(counter_path, &after);
  const int prefix = _expected_prefix(token_text);
  if (prefix < 0) {
    // Refused, and the counter file is left exactly as it was.
    if (first != QIVA_ERR_INVALID || second != QIVA_ERR_INVALID) abort();
    if (tokens[0] != -1 || tokens[1] != -1 || counter_after != counter_exists) abort();
    if (counter_exists && after != counter_bytes) abort();
    return 0;
  }
  if (first != QIVA_SUCCESS || second != QIVA_SUCCESS || !counter_after) abort();
  // A missing or short file starts from 0; a longer one keeps the bytes after the first 4.
  uint32_t value = 0;
  std::string rest;
  if (counter_exists && counter_bytes.size() >= 4) {
    memcpy(&value, counter_bytes.data(), 4);
    rest = counter_bytes.substr(4);
  }
  const uint32_t top = static_cast<uint32_t>(prefix) << 24;
  if (static_cast<uint32_t>(tokens[0]) != (value | top)) abort();
  value = _advanced(value);
  if (static_cast<uint32_t>(tokens[1]) != (value | top)) abort();
  value = _advanced(value);
  if (after.size() != 4 + rest.size() || memcmp(after.data(), &value, 4) != 0 ||
      after.compare(4, std::string::npos, rest) != 0) {
    abort();
  }
  return 0;
}
