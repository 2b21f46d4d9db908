// Where an extraction's entries go: their files below the output folder, or, for --test,
// nowhere at all, the bytes decoded and counted as an extraction would count them. The loop
// asks the same questions either way.
#pragma once

#include <cstdint>
#include <optional>

#include "extract/output_tree.h"
#include "extract/paths.h"
#include "extract/payload.h"
#include "extract/problems.h"

namespace quarry {

class EntrySink {
 public:
  virtual ~EntrySink() = default;
  // The folder the entries' paths are joined below; empty when nothing is written.
  virtual PathView folder() const = 0;
  // Makes the folders above the entry's file and opens the one it goes in.
  virtual std::optional<OutputFailure> prepare(const OutputPath& target) = 0;
  // Whether something stands at the entry's name already, for --keep-existing.
  virtual bool standsAlready(const OutputPath& target) = 0;
  // Puts the whole payload where the entry goes; outcome says whether it was written or kept.
  virtual std::optional<OutputFailure> put(const OutputPath& target, const Payload& payload,
                                           ExistingFiles existing, WriteOutcome& outcome) = 0;
  // Why the output folder cannot be used, once that has stopped the run.
  virtual std::optional<OutputFailure> rootFailure() const = 0;
  // The temporaries that killed runs had left in the folders gone through, removed.
  virtual std::uint64_t staleTemporariesRemoved() const = 0;
};

// The entries' files, through the output side.
class TreeSink final : public EntrySink {
 public:
  explicit TreeSink(OutputTree& tree) : tree_(tree) {}
  PathView folder() const override { return tree_.folder(); }
  std::optional<OutputFailure> prepare(const OutputPath& target) override {
    return tree_.ensureParentDirectories(target);
  }
  bool standsAlready(const OutputPath& target) override { return tree_.standsAlready(target); }
  std::optional<OutputFailure> put(const OutputPath& target, const Payload& payload,
                                   ExistingFiles existing, WriteOutcome& outcome) override {
    return tree_.writeWholeFile(target, payload, existing, outcome);
  }
  std::optional<OutputFailure> rootFailure() const override { return tree_.rootFailure(); }
  std::uint64_t staleTemporariesRemoved() const override {
    return tree_.staleTemporariesRemoved();
  }

 private:
  OutputTree& tree_;
};

// --test: every entry is decoded and counted as written, and nothing touches the disk.
class TestSink final : public EntrySink {
 public:
  PathView folder() const override { return {}; }
  std::optional<OutputFailure> prepare(const OutputPath&) override { return std::nullopt; }
  bool standsAlready(const OutputPath&) override { return false; }
  std::optional<OutputFailure> put(const OutputPath&, const Payload&, ExistingFiles,
                                   WriteOutcome& outcome) override {
    outcome = WriteOutcome::Written;
    return std::nullopt;
  }
  std::optional<OutputFailure> rootFailure() const override { return std::nullopt; }
  std::uint64_t staleTemporariesRemoved() const override { return 0; }
};

}  // namespace quarry
