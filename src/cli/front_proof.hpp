// The proof file of a native `solve --proof` (proofs.py and verify.py in
// the Python front end): which targets are refused before anything is read,
// the folder of the proofs of the solvers that search at once, and a proof
// cut short kept to its whole steps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace qn::cli {

// Why a proof must not be written to `path` (exit code, message), or none.
// Nothing is created or opened for writing here.
std::optional<std::pair<int, std::string>> refuse_proof_target(const std::string &path, const std::string &input,
                                                               bool force);

// Whether `path` is a regular file whose first bytes are a gzip, xz or
// bzip2 stream's (which only the Python front end reads).
bool compressed_file(const std::string &path);

// A new folder of this process's own for the proofs of solvers that search
// at once, of which one becomes the proof at `target`: beside a regular
// target, else (or when that folder takes no new one) in $TMPDIR or /tmp.
class MemberFolder {
 public:
  // Throws MemberFolder::Failed when no place takes a new folder.
  explicit MemberFolder(const std::string &target);
  MemberFolder(const MemberFolder &) = delete;
  MemberFolder &operator=(const MemberFolder &) = delete;
  ~MemberFolder() { remove(); }

  struct Failed {
    std::string what;
  };
  const std::string &folder() const { return folder_; }
  // Where the proofs of a target that is no regular file are kept meanwhile, or "".
  const std::string &note() const { return note_; }
  void remove();

 private:
  std::string folder_, note_;
};

// Cuts the proof open at `fd` after its last whole step; its new size, or -1 with errno.
int64_t keep_whole_steps(int fd, bool binary);

}  // namespace qn::cli
