// The OpenAPI document as served. Its source names its paths under the
// prefix "quarn"; the plug-in may serve the application under another one,
// and a document whose paths answer 404 misleads every client generated from
// it. The prefix is fixed by the configuration for the process's life, so
// the document is rewritten once, at init, and kept.
#include <dlfcn.h>

#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "gannet.h"

namespace gannet {

namespace {

constexpr std::string_view kSourcePathStart = "\"/quarn/api/v1/";

std::string servedText;  // written at init only, before any request; read-only afterwards

// "web/gannet.so" and "gannet" both name the library "gannet".
std::string libraryStem(std::string_view file) {
  size_t slash = file.find_last_of('/');
  if (slash != std::string_view::npos) file.remove_prefix(slash + 1);
  size_t dot = file.find_last_of('.');
  if (dot != std::string_view::npos) file = file.substr(0, dot);
  return std::string(file);
}

std::string ownLibraryStem() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&adoptConfiguredPrefix), &info) == 0 || info.dli_fname == nullptr) return "";
  return libraryStem(info.dli_fname);
}

// The prefix of the first "applications" entry ("<prefix>;<library>") that
// names this library. A library listed under several prefixes shares one
// state in the process, so its document names the first of them.
std::string configuredPrefix(json_object* config) {
  json_object* applications = nullptr;
  if (config == nullptr || !json_object_object_get_ex(config, "applications", &applications) ||
      !json_object_is_type(applications, json_type_array))
    return "";
  const std::string self = ownLibraryStem();
  if (self.empty()) return "";
  size_t count = json_object_array_length(applications);
  for (size_t i = 0; i < count; ++i) {
    json_object* entry = json_object_array_get_idx(applications, i);
    if (!json_object_is_type(entry, json_type_string)) continue;  // the plug-in leaves such entries out
    std::string_view text(json_object_get_string(entry), size_t(json_object_get_string_len(entry)));
    size_t semicolon = text.find(';');
    if (semicolon == 0 || semicolon == std::string_view::npos) continue;
    if (libraryStem(text.substr(semicolon + 1)) == self) return std::string(text.substr(0, semicolon));
  }
  return "";
}

// The prefix as it stands inside a JSON text.
std::string jsonEscaped(const std::string& prefix) {
  std::unique_ptr<json_object, int (*)(json_object*)> text(
      json_object_new_string_len(prefix.data(), int(prefix.size())), json_object_put);
  if (!text) return "";
  std::string quoted =
      json_object_to_json_string_ext(text.get(), JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
  return quoted.size() >= 2 ? quoted.substr(1, quoted.size() - 2) : "";
}

// The source text with its path keys under prefix; "" when the source's own
// prefix serves.
std::string documentUnder(const std::string& prefix) {
  std::string_view source(kOpenApiDocument, kOpenApiLength);
  if (prefix.empty() || prefix == "quarn") return "";
  const std::string replacement = "\"/" + jsonEscaped(prefix) + "/api/v1/";
  std::string text;
  text.reserve(source.size() + 16 * replacement.size());
  size_t from = 0;
  for (size_t at = source.find(kSourcePathStart); at != std::string_view::npos;
       at = source.find(kSourcePathStart, from)) {
    text.append(source.substr(from, at - from)).append(replacement);
    from = at + kSourcePathStart.size();
  }
  text.append(source.substr(from));
  return text;
}

}  // namespace

void adoptConfiguredPrefix(json_object* config) {
  servedText.clear();
  try {
    servedText = documentUnder(configuredPrefix(config));
  } catch (const std::bad_alloc&) {
    servedText.clear();  // the source text is served as it stands
  }
}

std::string_view servedDocument() {
  if (servedText.empty()) return std::string_view(kOpenApiDocument, kOpenApiLength);
  return servedText;
}

}  // namespace gannet
