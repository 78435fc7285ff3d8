// The fix doctor gives for a device node this user may not open.

#include <gtest/gtest.h>

#include "cli/doctor_checks.h"

namespace kyt::host {
namespace {

TEST(DoctorFixTest, NamesWhatWouldOpenTheNode) {
  struct TCase {
    const char* Name;
    TNodeAccess Access;
    const char* Says;
  };
  const TCase cases[] = {
      {"a root-only port needs a rule, never membership in root",
       {"/dev/ttyS4", "op", "root", true, 0600, false, false},
       "udev rule must give it "
       "GROUP=\"dialout\", MODE=\"0660\""},
      {"root's group with group access still needs a rule",
       {"/dev/ttyS4", "op", "root", true, 0660, false, false},
       "udev rule"},
      {"a group that may not use it needs a rule",
       {"/dev/ttyUSB0", "op", "dialout", false, 0600, false, false},
       "udev rule"},
      {"a group that may use it: join it",
       {"/dev/ttyUSB0", "op", "dialout", false, 0660, false, false},
       "sudo usermod -aG dialout op"},
      {"already in it at login: log in again",
       {"/dev/ttyUSB0", "op", "dialout", false, 0660, false, true},
       "log in again"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string fix = NodeAccessFix(c.Access, "dialout");
    EXPECT_NE(fix.find(c.Says), std::string::npos) << fix;
    EXPECT_EQ(fix.find("-aG root"), std::string::npos) << fix;
  }
}

}  // namespace
}  // namespace kyt::host
