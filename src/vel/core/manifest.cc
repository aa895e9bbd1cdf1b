#include "vel/core/manifest.h"

#include <boost/filesystem/path.hpp>
#include <fstream>
#include <sstream>

namespace vel {

bool Manifest::Load(const std::string& path, Manifest* out,
                    std::string* error) {
  std::ifstream file(path);
  if (!file) {
    *error = "cannot open the manifest file: " + path;
    return false;
  }
  std::stringstream text;
  text << file.rdbuf();
  return Parse(text.str(), path, out, error);
}

bool Manifest::Parse(const std::string& text, const std::string& path,
                     Manifest* out, std::string* error) {
  Json root;
  if (!Json::Parse(text, &root) || !root.IsObject()) {
    *error = "the manifest is not a JSON object: " + path;
    return false;
  }
  Manifest manifest;
  const Json name = root["name"];
  const Json library = root["library"];
  if (!name.IsString() || name.GetString().empty()) {
    *error = "the manifest needs a non-empty string \"name\"";
    return false;
  }
  if (!library.IsString() || library.GetString().empty()) {
    *error = "the manifest needs a non-empty string \"library\"";
    return false;
  }
  manifest.name_ = name.GetString();
  boost::filesystem::path library_path(library.GetString());
  if (library_path.is_relative() &&
      library.GetString().find('/') != std::string::npos) {
    library_path = boost::filesystem::path(path).parent_path() / library_path;
  }
  manifest.library_ = library_path.string();

  const Json arguments = root["arguments"];
  if (!arguments.IsNull() && !arguments.IsObject()) {
    *error = "\"arguments\" must be an object";
    return false;
  }
  manifest.arguments_ = arguments.IsNull() ? Json::MakeObject() : arguments;

  const Json flags = root["flags"];
  if (!flags.IsNull() && !flags.IsObject()) {
    *error = "\"flags\" must be an object";
    return false;
  }
  if (flags.IsObject()) {
    for (const auto& [key, value] : flags.value().items()) {
      if (value.is_string()) {
        manifest.flags_[key] = value.get<std::string>();
      } else if (value.is_boolean() || value.is_number()) {
        manifest.flags_[key] = value.dump();
      } else {
        *error = "flag \"" + key + "\" must be a string, number or boolean";
        return false;
      }
    }
  }
  *out = std::move(manifest);
  return true;
}

}  // namespace vel
