#include "support/memory_file_system.h"

#include <algorithm>
#include <cerrno>

#include "base/stop.h"

namespace quarry::testing {
namespace {

constexpr std::size_t ROOT = 0;
// A write goes in this much at a time, the stop looked at in between, as on disk.
constexpr std::size_t WRITE_CHUNK_BYTES = 4096;

std::vector<PathString> componentsOf(PathView path) {
  std::vector<PathString> components;
  forEachComponent(path, [&components](PathView name) { components.emplace_back(name); });
  return components;
}

PathString parentOf(const PathString& path) {
  const auto components = componentsOf(path);
  PathString parent;
  for (std::size_t k = 0; k + 1 < components.size(); ++k) {
    if (!parent.empty()) parent.push_back(PathChar('/'));
    parent += components[k];
  }
  return parent;
}

PathString leafOf(const PathString& path) {
  const auto components = componentsOf(path);
  return components.empty() ? PathString() : components.back();
}

ByteSpan bytesOf(const Payload& payload) {
  if (const auto* decoded = std::get_if<DecodedBytes>(&payload)) return decoded->bytes();
  return std::get<StoredBytes>(payload).bytes;
}

}  // namespace

MemoryFileSystem::MemoryFileSystem() {
  addNode(NodeKind::Folder);
}

std::size_t MemoryFileSystem::addNode(NodeKind kind) {
  nodes_.push_back(MemoryNode{kind, {}, {}, false});
  return nodes_.size() - 1;
}

std::optional<std::size_t> MemoryFileSystem::find(const PathString& path) const {
  std::size_t node = ROOT;
  for (const PathString& name : componentsOf(path)) {
    const auto& children = nodes_[node].children;
    const auto child = children.find(name);
    if (child == children.end()) return std::nullopt;
    node = child->second;
  }
  return node;
}

std::size_t MemoryFileSystem::folderAt(const PathString& path) {
  std::size_t node = ROOT;
  for (const PathString& name : componentsOf(path)) {
    auto& children = nodes_[node].children;
    const auto child = children.find(name);
    if (child != children.end()) {
      node = child->second;
      continue;
    }
    const std::size_t made = addNode(NodeKind::Folder);
    nodes_[node].children[name] = made;
    node = made;
  }
  return node;
}

void MemoryFileSystem::setChild(const PathString& path, std::size_t node) {
  nodes_[folderAt(parentOf(path))].children[leafOf(path)] = node;
}

void MemoryFileSystem::addFolder(const PathString& path) {
  folderAt(path);
}

void MemoryFileSystem::addFile(const PathString& path, const Bytes& content) {
  const std::size_t node = addNode(NodeKind::RegularFile);
  nodes_[node].content = content;
  setChild(path, node);
}

void MemoryFileSystem::addLink(const PathString& path) {
  setChild(path, addNode(NodeKind::Link));
}

void MemoryFileSystem::addOther(const PathString& path) {
  setChild(path, addNode(NodeKind::Other));
}

void MemoryFileSystem::addHardLink(const PathString& path, const PathString& existing) {
  setChild(path, *find(existing));
}

void MemoryFileSystem::removeTree(std::size_t node) {
  nodes_[node].removed = true;
  for (const auto& [name, child] : nodes_[node].children) {
    if (nodes_[child].kind == NodeKind::Folder) removeTree(child);
  }
  nodes_[node].children.clear();
}

void MemoryFileSystem::removeFolder(const PathString& path) {
  removeTree(*find(path));
  nodes_[*find(parentOf(path))].children.erase(leafOf(path));
}

std::optional<Bytes> MemoryFileSystem::contentOf(const PathString& path) const {
  const auto node = find(path);
  if (!node || nodes_[*node].kind != NodeKind::RegularFile) return std::nullopt;
  return nodes_[*node].content;
}

bool MemoryFileSystem::exists(const PathString& path) const {
  return find(path).has_value();
}

std::vector<PathString> MemoryFileSystem::namesIn(const PathString& folder) const {
  std::vector<PathString> names;
  for (const auto& [name, node] : nodes_[*find(folder)].children) names.push_back(name);
  return names;
}

FileIdentity MemoryFileSystem::identityOf(const PathString& path) const {
  return {1, *find(path)};
}

std::optional<FsResult> MemoryFileSystem::injected(FsCall call, PathView name,
                                                   std::uint64_t* allowedBytes) {
  calls_.push_back(call);
  for (auto fault = faults_.begin(); fault != faults_.end(); ++fault) {
    if (fault->call != call || PathView(name).find(fault->name) == PathView::npos) continue;
    if (fault->skip-- > 0) continue;
    const FsFault planned = std::move(*fault);
    faults_.erase(fault);
    if (planned.before) planned.before();
    if (planned.outcome == FsOutcome::Done) return std::nullopt;
    if (allowedBytes != nullptr) *allowedBytes = planned.afterBytes;
    return FsResult{planned.outcome, planned.code};
  }
  return std::nullopt;
}

FsHandle MemoryFileSystem::open(std::size_t node) {
  handles_[nextHandle_] = node;
  mostOpen_ = std::max(mostOpen_, handles_.size());
  return nextHandle_++;
}

std::size_t MemoryFileSystem::nodeOf(FsHandle handle) const {
  return handles_.at(handle);
}

FsResult MemoryFileSystem::openOutputFolder(const PathString& folder, FsHandle& out) {
  if (auto fault = injected(FsCall::OpenOutputFolder, folder, nullptr)) return *fault;
  const auto existing = find(folder);
  if (existing && nodes_[*existing].kind != NodeKind::Folder) {
    return {FsOutcome::NotAFolder, ENOTDIR};
  }
  out = open(folderAt(folder));
  return {};
}

FsResult MemoryFileSystem::openFolder(FsHandle base, PathView relative, FsHandle& out) {
  if (auto fault = injected(FsCall::OpenFolder, relative, nullptr)) return *fault;
  std::size_t node = nodeOf(base);
  for (const PathString& name : componentsOf(relative)) {
    const auto& children = nodes_[node].children;
    const auto child = children.find(name);
    if (child == children.end()) return {FsOutcome::Missing, ENOENT};
    node = child->second;
    if (nodes_[node].kind == NodeKind::Link) return {FsOutcome::Link, ELOOP};
    if (nodes_[node].kind != NodeKind::Folder) return {FsOutcome::NotAFolder, ENOTDIR};
  }
  out = open(node);
  return {};
}

FsResult MemoryFileSystem::makeFolder(FsHandle parent, PathView name) {
  if (auto fault = injected(FsCall::MakeFolder, name, nullptr)) return *fault;
  MemoryNode& folder = nodes_[nodeOf(parent)];
  if (folder.removed) return {FsOutcome::Missing, ENOENT};
  if (folder.children.contains(PathString(name))) return {FsOutcome::Exists, EEXIST};
  const std::size_t made = addNode(NodeKind::Folder);
  nodes_[nodeOf(parent)].children[PathString(name)] = made;
  return {};
}

FsResult MemoryFileSystem::inspect(FsHandle parent, PathView name, Node& node) {
  if (auto fault = injected(FsCall::Inspect, name, nullptr)) return *fault;
  const auto& children = nodes_[nodeOf(parent)].children;
  const auto child = children.find(PathString(name));
  if (child == children.end()) return {FsOutcome::Missing, ENOENT};
  node = {nodes_[child->second].kind, {1, child->second}};
  return {};
}

FsResult MemoryFileSystem::createUnnamed(FsHandle parent, FsHandle& out) {
  if (!unnamed_) return {FsOutcome::Unavailable, ENOSYS};
  if (auto fault = injected(FsCall::CreateUnnamed, {}, nullptr)) return *fault;
  if (nodes_[nodeOf(parent)].removed) return {FsOutcome::Missing, ENOENT};
  out = open(addNode(NodeKind::RegularFile));
  return {};
}

FsResult MemoryFileSystem::createFile(FsHandle parent, PathView name, FsHandle& out) {
  if (auto fault = injected(FsCall::CreateFile, name, nullptr)) return *fault;
  const std::size_t folder = nodeOf(parent);
  if (nodes_[folder].removed) return {FsOutcome::Missing, ENOENT};
  if (nodes_[folder].children.contains(PathString(name))) return {FsOutcome::Exists, EEXIST};
  const std::size_t made = addNode(NodeKind::RegularFile);
  nodes_[folder].children[PathString(name)] = made;
  out = open(made);
  return {};
}

FsResult MemoryFileSystem::identify(FsHandle file, FileIdentity& out) {
  out = {1, nodeOf(file)};
  return {};
}

FsResult MemoryFileSystem::writePayload(FsHandle file, const Payload& payload) {
  std::uint64_t allowed = UINT64_MAX;
  const auto fault = injected(FsCall::WritePayload, {}, &allowed);
  ByteSpan bytes = bytesOf(payload);
  Bytes& content = nodes_[nodeOf(file)].content;
  while (!bytes.empty()) {
    if (stopRequested()) return {FsOutcome::Stopped, 0};
    const std::size_t chunk = std::min<std::uint64_t>({bytes.size(), WRITE_CHUNK_BYTES, allowed});
    if (fault && chunk == 0) return *fault;
    content.insert(content.end(), bytes.begin(), bytes.begin() + static_cast<long>(chunk));
    bytes = bytes.subspan(chunk);
    if (allowed != UINT64_MAX) allowed -= chunk;
  }
  return fault ? *fault : FsResult{};
}

FsResult MemoryFileSystem::nameFile(FsHandle parent, FsHandle file, const PathString& fileName,
                                    PathView name, Naming naming) {
  if (auto fault = injected(FsCall::NameFile, name, nullptr)) return *fault;
  MemoryNode& folder = nodes_[nodeOf(parent)];
  if (folder.removed) return {FsOutcome::Missing, ENOENT};
  const bool taken = folder.children.contains(PathString(name));
  if (taken && (naming == Naming::IfFree || fileName.empty())) return {FsOutcome::Exists, EEXIST};
  if (!fileName.empty()) folder.children.erase(fileName);
  folder.children[PathString(name)] = nodeOf(file);
  return {};
}

FsResult MemoryFileSystem::removeIfSame(FsHandle parent, PathView name,
                                        const FileIdentity& expected) {
  if (auto fault = injected(FsCall::RemoveIfSame, name, nullptr)) return *fault;
  auto& children = nodes_[nodeOf(parent)].children;
  const auto child = children.find(PathString(name));
  if (child == children.end()) return {FsOutcome::Missing, ENOENT};
  if (FileIdentity{1, child->second} == expected) children.erase(child);
  return {};
}

FsResult MemoryFileSystem::listFolder(FsHandle folder, std::vector<PathString>& names) {
  if (auto fault = injected(FsCall::ListFolder, {}, nullptr)) return *fault;
  names.clear();
  for (const auto& [name, node] : nodes_[nodeOf(folder)].children) names.push_back(name);
  return {};
}

FsResult MemoryFileSystem::closeFile(FsHandle file) {
  handles_.erase(file);
  if (auto fault = injected(FsCall::CloseFile, {}, nullptr)) return *fault;
  return {};
}

void MemoryFileSystem::closeFolder(FsHandle folder) {
  handles_.erase(folder);
}

bool MemoryFileSystem::isRemoved(FsHandle folder) {
  return nodes_[nodeOf(folder)].removed;
}

}  // namespace quarry::testing
