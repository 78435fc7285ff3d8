#pragma once

// A pseudo-terminal for the serial tests: the module opens the slave by name, the test plays the
// far side on the master.

#include <string>

namespace kyt::test {

class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // The slave's path (/dev/pts/N).
  const std::string& SlavePath() const { return slavePath_; }
  // The test's own descriptor of the slave, kept open for reading its settings only.
  int Slave() const { return slave_; }
  // The far side's own descriptor, for tests that read and write it their own way.
  int Master() const { return master_; }

  // The far side: blocking writes of every byte, reads of exactly `size` bytes ("" on EOF/EIO).
  void Write(const std::string& bytes);
  std::string Read(size_t size);
  // Closes the far side, as an unplugged adapter or a finished peer does.
  void CloseMaster();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace kyt::test
