// The built plug-in as a host sees it: loaded with dlopen, read through its one export.

#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "framework/codes.h"
#include "framework/library_info.h"
#include "host/reference_host.h"
#include "runtime/types.h"

namespace kyt {
namespace {

const std::string kPlugin = KYT_BUILD_DIR "/VidiridAZ.so";

// The defined, globally visible symbols of a shared object's dynamic symbol table, for the two
// ELF classes the suite is built for (x86_64 and i686). Every offset is checked against the
// file's size, so a damaged file gives a short list rather than a crash.
template <typename Ehdr, typename Shdr, typename Sym>
std::vector<std::string> ExportedSymbolsOf(const std::string& image) {
  auto within = [&](uint64_t offset, uint64_t size) {
    return offset <= image.size() && size <= image.size() - offset;
  };
  if (!within(0, sizeof(Ehdr)))
    return {};
  auto ehdr = reinterpret_cast<const Ehdr*>(image.data());
  if (!within(ehdr->e_shoff, uint64_t(ehdr->e_shnum) * sizeof(Shdr)))
    return {};
  auto sections = reinterpret_cast<const Shdr*>(image.data() + ehdr->e_shoff);
  std::vector<std::string> out;
  for (int i = 0; i < ehdr->e_shnum; ++i) {
    if (sections[i].sh_type != SHT_DYNSYM || sections[i].sh_link >= ehdr->e_shnum)
      continue;
    const Shdr& strtab = sections[sections[i].sh_link];
    if (!within(sections[i].sh_offset, sections[i].sh_size) ||
        !within(strtab.sh_offset, strtab.sh_size))
      continue;
    auto syms = reinterpret_cast<const Sym*>(image.data() + sections[i].sh_offset);
    size_t count = sections[i].sh_size / sizeof(Sym);
    for (size_t s = 0; s < count; ++s) {
      unsigned bind = syms[s].st_info >> 4;
      if (syms[s].st_shndx == SHN_UNDEF || (bind != STB_GLOBAL && bind != STB_WEAK) ||
          syms[s].st_name >= strtab.sh_size)
        continue;
      const char* name = image.data() + strtab.sh_offset + syms[s].st_name;
      out.emplace_back(name, strnlen(name, strtab.sh_size - syms[s].st_name));
    }
  }
  return out;
}

std::vector<std::string> ExportedSymbols(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (image.size() < EI_NIDENT || image.compare(0, SELFMAG, ELFMAG) != 0)
    return {};
  if (image[EI_CLASS] == ELFCLASS32)
    return ExportedSymbolsOf<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym>(image);
  return ExportedSymbolsOf<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym>(image);
}

TEST(LibraryTest, ExportsExactlyOneSymbol) {
  EXPECT_EQ(ExportedSymbols(kPlugin), std::vector<std::string>{"KYTLibraryInfo"});
}

class LoadedLibraryTest : public testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(kPlugin.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    info_ = reinterpret_cast<TKYTLibraryInfoFunction>(dlsym(handle_, kLibraryInfoSymbol));
    ASSERT_NE(info_, nullptr);
  }
  void TearDown() override {
    if (handle_ != nullptr)
      dlclose(handle_);
  }
  void* handle_ = nullptr;
  TKYTLibraryInfoFunction info_ = nullptr;
};

TEST_F(LoadedLibraryTest, HandsOutTheSameRecordEveryTime) {
  TKYTLibraryInfo* first = nullptr;
  TKYTLibraryInfo* second = nullptr;
  info_(&first);
  info_(&second);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first->LibraryID, "{3211679B-9A2A-45A8-BF66-7AB0B23BB2BD}");
  EXPECT_STREQ(first->Author, "KYT - Dornwell");
  EXPECT_STREQ(first->Name, "I/O Library");
  EXPECT_EQ(first->InfoNumber1, 0x0200u);
  EXPECT_EQ(first->InfoNumber2, 0x0203u);
  EXPECT_EQ(std::memcmp(first->Reserved1, "\0\0\0\0\0\0\0\0\0\0\0\0", 12), 0);
  EXPECT_EQ(first->Reserved2, 0u);
  EXPECT_NE(first->RegisterHook, nullptr);
  EXPECT_NE(first->UnregisterHook, nullptr);
}

TEST_F(LoadedLibraryTest, RegistersTheIDTypeNamesOnceWhenLoaded) {
  int tkytid = 0;
  int instanceID = 0;
  for (const TRegisteredTypeName& t : RegisteredTypeNames()) {
    if (t.Namespace != "urn:UKYTTypes")
      continue;
    tkytid += t.Name == "TKYTID";
    instanceID += t.Name == "TInstanceID";
  }
  EXPECT_EQ(tkytid, 1);
  EXPECT_EQ(instanceID, 1);
}

TEST(LibraryHostTest, RegisterAndUnregisterAreLoggedAsTheLibrary) {
  host::TReferenceHost host;
  host.LoadLibrary(kPlugin);
  host.UnloadLibrary();
  std::vector<std::string> texts;
  for (const host::THostEvent& e : host.Events(host::THostEvent::Kind::Log)) {
    EXPECT_EQ(e.Code, KL_MESSAGE);
    EXPECT_EQ(e.Instance, 0);
    EXPECT_EQ(e.Name, "I/O Library");
    texts.push_back(e.Text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"Register", "Unregister"}));
}

}  // namespace
}  // namespace kyt
