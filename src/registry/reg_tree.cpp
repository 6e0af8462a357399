#include "registry/reg_tree.h"

namespace torvane::registry {

namespace {

bool ReadInto(RegTarget& target, HKey root, const std::string& path, int depth, RegTree* tree) {
  if (depth > kMaxKeyDepth) return false;
  auto values = target.ListValues(root, path);
  auto children = target.ListSubkeys(root, path);
  if (!values || !children) return false;
  tree->values = std::move(*values);
  tree->children.resize(children->size());
  for (std::size_t i = 0; i < children->size(); ++i) {
    tree->children[i].name = (*children)[i];
    if (!ReadInto(target, root, ChildPath(path, (*children)[i]), depth + 1, &tree->children[i])) return false;
  }
  return true;
}

}  // namespace

std::string ChildPath(const std::string& path, const std::string& name) {
  return path.empty() ? name : path + "\\" + name;
}

std::optional<RegValue> RegTarget::FindValue(HKey root, const std::string& path, const std::string& name,
                                             bool* readable) {
  const auto values = ListValues(root, path);
  *readable = values.has_value();
  if (!values) return std::nullopt;
  for (const RegValue& value : *values) {
    if (Utf8NamesEqual(value.name, name)) return value;
  }
  return std::nullopt;
}

std::optional<RegTree> RegTarget::ReadTree(HKey root, const std::string& path) {
  RegTree tree;
  if (!ReadInto(*this, root, path, 0, &tree)) return std::nullopt;
  return tree;
}

bool WriteTree(RegTarget& target, HKey root, const std::string& path, const RegTree& tree) {
  bool done = target.CreateKey(root, path);
  for (const RegValue& value : tree.values) done = target.SetValue(root, path, value) && done;
  for (const RegTree& child : tree.children) done = WriteTree(target, root, ChildPath(path, child.name), child) && done;
  return done;
}

void AppendTreeEntries(const RegTree& tree, HKey root, const std::string& path, const std::string& user,
                       std::vector<RegEntry>* out) {
  RegEntry key;
  key.kind = RegEntry::Kind::kKey;
  key.root = root;
  key.path = path;
  key.user = user;
  out->push_back(key);
  for (const RegValue& value : tree.values) {
    RegEntry entry = key;
    entry.kind = RegEntry::Kind::kValue;
    entry.value = value;
    out->push_back(std::move(entry));
  }
  for (const RegTree& child : tree.children) AppendTreeEntries(child, root, ChildPath(path, child.name), user, out);
}

}  // namespace torvane::registry
