// Writes a SOFTWARE hive of about the asked size for the offline benchmark:
//   make_software_hive FILE [MEGABYTES]   (default 100)
//
// Shaped like a real one: Classes with CLSIDs, interfaces and extensions,
// Microsoft's tree with the places the items read (several of them damaged),
// installer and uninstall data, and vendors' trees of varying depth, with a
// mix of texts, numbers, binary data and lists. The same file every run (a
// fixed seed). Key fan-out stays in the hundreds to low thousands: hivex
// rewrites a key's subkey list on each insertion.
#include <hivex.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "registry/codepage.h"
#include "support/hive_builder.h"

namespace {

struct Value {
  std::string name;  // UTF-8
  std::uint32_t type;
  std::string data;  // as stored
};

class Generator {
 public:
  explicit Generator(hive_h* h) : h_(h) {}

  std::uint64_t estimate() const { return estimate_; }
  std::uint64_t keys() const { return keys_; }
  std::uint64_t values() const { return values_; }

  hive_node_h Key(hive_node_h parent, const std::string& name) {
    hive_node_h node = hivex_node_get_child(h_, parent, name.c_str());
    if (node != 0) return node;
    node = hivex_node_add_child(h_, parent, name.c_str());
    if (node == 0) throw std::runtime_error("cannot add key " + name);
    const std::size_t children = ++children_[parent];
    ++keys_;
    // The cell, its list entry, and the list hivex left behind (never reused).
    estimate_ += Round8(4 + 0x4C + name.size()) + 8 + Round8(8 + 8 * (children - 1));
    return node;
  }

  hive_node_h Path(hive_node_h from, const std::string& path) {
    std::size_t start = 0;
    while (start < path.size()) {
      std::size_t end = path.find('\\', start);
      if (end == std::string::npos) end = path.size();
      from = Key(from, path.substr(start, end - start));
      start = end + 1;
    }
    return from;
  }

  void Values(hive_node_h node, const std::vector<Value>& values) {
    std::vector<hive_set_value> set;
    for (const Value& v : values) {
      hive_set_value one{const_cast<char*>(v.name.c_str()), hive_t_REG_NONE, v.data.size(),
                         const_cast<char*>(v.data.data())};
      std::memcpy(&one.t, &v.type, sizeof one.t);
      set.push_back(one);
      estimate_ += Round8(4 + 0x14 + v.name.size()) + 4 + (v.data.size() > 4 ? Round8(4 + v.data.size()) : 0);
    }
    estimate_ += Round8(4 + 4 * values.size());
    values_ += values.size();
    if (hivex_node_set_values(h_, node, set.size(), set.data(), 0) != 0) throw std::runtime_error("cannot set values");
  }

 private:
  static std::uint64_t Round8(std::uint64_t n) { return (n + 7) & ~std::uint64_t{7}; }
  hive_h* h_;
  std::uint64_t estimate_ = 0x2000;
  std::uint64_t keys_ = 0, values_ = 0;
  std::unordered_map<hive_node_h, std::size_t> children_;
};

std::string Utf16(const std::string& utf8) {
  std::string gbk = torvane::registry::Utf8ToGbk(utf8);
  return torvane::registry::GbkToUtf16le(gbk) + std::string(2, '\0');
}
Value Sz(const std::string& name, const std::string& text) { return {name, 1, Utf16(text)}; }
Value ExpandSz(const std::string& name, const std::string& text) { return {name, 2, Utf16(text)}; }
Value Dword(const std::string& name, std::uint32_t n) {
  return {name, 4, std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                               static_cast<char>(n >> 24)}};
}

class Content {
 public:
  std::mt19937 rng{20260101};
  int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
  std::string Guid() {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%04X-%04X%08X}", Next(), Next() & 0xFFFF, Next() & 0xFFFF,
                  Next() & 0xFFFF, Next() & 0xFFFF, Next());
    return text;
  }
  std::string Word() {
    static const char* const kWords[] = {"Data",   "Settings", "Cache",  "Options", "Profile", "Update",  "Plugins",
                                         "Shell",  "Viewer",   "Engine", "Player",  "Tools",   "Service", "Client",
                                         "Server", "Policies", "Fonts",  "Drivers", "Codec",   "Setup",   "Help"};
    return kWords[Uniform(0, sizeof kWords / sizeof *kWords - 1)];
  }
  std::string Name() { return Word() + std::to_string(Uniform(0, 999)); }
  std::string PathText() {
    return "C:\\Program Files\\" + Word() + " " + Word() + "\\" + Word() + std::to_string(Uniform(1, 99)) + ".dll";
  }
  std::vector<Value> Mixed(int count) {
    std::vector<Value> values;
    for (int i = 0; i < count; ++i) {
      const std::string name = Word() + std::to_string(i);
      switch (Uniform(0, 9)) {
        case 0:
        case 1:
        case 2:
          values.push_back(Sz(name, PathText()));
          break;
        case 3:
          values.push_back(ExpandSz(name, "%SystemRoot%\\system32\\" + Word() + ".exe"));
          break;
        case 4:
        case 5:
          values.push_back(Dword(name, Next()));
          break;
        case 6:
          values.push_back({name, 11, std::string(8, static_cast<char>(Uniform(0, 255)))});
          break;
        case 7:
          values.push_back({name, 7, Utf16(Word() + std::string(1, '\0') + Word() + std::string(1, '\0'))});
          break;
        default: {
          std::string blob(static_cast<std::size_t>(Uniform(8, 400)), '\0');
          for (char& c : blob) c = static_cast<char>(Next());
          values.push_back({name, 3, std::move(blob)});
        }
      }
    }
    return values;
  }

 private:
  unsigned Next() { return static_cast<unsigned>(rng()); }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_software_hive FILE [MEGABYTES]\n");
    return 2;
  }
  const std::string path = argv[1];
  const std::uint64_t target = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 100) << 20;
  torvane::testing::WriteFile(path,
                              torvane::testing::EmptyHive("CMI-CreateHive{199DAFC2-6F16-4946-BF90-5A3FC3A60902}"));
  hive_h* h = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
  if (h == nullptr) {
    std::perror("hivex_open");
    return 1;
  }
  Generator g(h);
  Content c;
  const hive_node_h root = hivex_root(h);

  // The places the items read, several of them damaged.
  const std::string cv = "Microsoft\\Windows NT\\CurrentVersion";
  g.Values(g.Path(root, cv), {Sz("SystemRoot", "C:\\WINDOWS"), Sz("ProductName", "Microsoft Windows XP"),
                              Sz("CurrentVersion", "5.1"), Sz("CurrentBuildNumber", "2600")});
  g.Values(g.Path(root, cv + "\\Winlogon"),
           {Sz("Userinit", "C:\\WINDOWS\\system32\\userinit.exe,"),
            Sz("Shell", "Explorer.exe C:\\WINDOWS\\system32\\svch0st.exe"), Dword("AutoRestartShell", 1),
            Sz("DefaultUserName", "Administrator")});
  g.Values(g.Path(root, cv + "\\Windows"), {Sz("AppInit_DLLs", ""), Dword("GDIProcessHandleQuota", 10000)});
  const hive_node_h ifeo = g.Path(root, cv + "\\Image File Execution Options");
  for (int i = 0; i < 60; ++i) {
    g.Values(g.Key(ifeo, c.Word() + std::to_string(i) + ".exe"), {Dword("DisableHeapLookaside", 1)});
  }
  g.Values(g.Key(ifeo, "Your Image File Name Here without a path"), {Sz("Debugger", "ntsd -d")});
  g.Values(g.Key(ifeo, "IceSword.exe"), {Sz("Debugger", "C:\\WINDOWS\\system32\\svch0st.exe")});
  const std::string win = "Microsoft\\Windows\\CurrentVersion";
  g.Values(g.Path(root, win + "\\Policies\\Explorer"),
           {Dword("NoViewContextMenu", 1), Dword("NoDriveTypeAutoRun", 0x91)});
  g.Values(g.Path(root, win + "\\Policies\\System"), {Dword("EnableLUA", 0)});
  g.Values(g.Path(root, win + "\\Explorer\\Advanced\\Folder\\Hidden\\SHOWALL"),
           {Dword("CheckedValue", 0), Sz("Type", "radio"), Sz("HKeyRoot", "0x80000001")});
  g.Values(g.Path(root, win + "\\URL\\DefaultPrefix"), {Sz("", "http://")});
  g.Values(g.Path(root, win + "\\URL\\Prefixes"),
           {Sz("ftp", "ftp://"), Sz("gopher", "gopher://"), Sz("home", "http://"), Sz("mosaic", "http://"),
            Sz("www", "http://www.nav-hijack.example/?u=")});
  g.Path(root, "Policies\\Microsoft\\Windows\\WindowsUpData\\AU");

  // Classes.
  const hive_node_h clsid = g.Path(root, "Classes\\CLSID");
  for (int i = 0; i < 1500; ++i) {
    const hive_node_h k = g.Key(clsid, c.Guid());
    g.Values(k, {Sz("", c.Name() + " Class")});
    g.Values(g.Key(k, "InprocServer32"), {ExpandSz("", c.PathText()), Sz("ThreadingModel", "Apartment")});
    if (i % 3 == 0) g.Values(g.Key(k, "ProgID"), {Sz("", c.Name() + ".1")});
  }
  const hive_node_h interfaces = g.Path(root, "Classes\\Interface");
  for (int i = 0; i < 1000; ++i) {
    const hive_node_h k = g.Key(interfaces, c.Guid());
    g.Values(k, {Sz("", "I" + c.Name())});
    g.Values(g.Key(k, "ProxyStubClsid32"), {Sz("", c.Guid())});
  }
  const hive_node_h classes = g.Path(root, "Classes");
  for (int i = 0; i < 800; ++i) {
    g.Values(g.Key(classes, "." + c.Word().substr(0, 3) + std::to_string(i)),
             {Sz("", c.Name() + "File"), Sz("Content Type", "application/x-" + c.Word())});
  }
  const hive_node_h uninstall = g.Path(root, win + "\\Uninstall");
  for (int i = 0; i < 400; ++i) {
    g.Values(g.Key(uninstall, c.Guid()),
             {Sz("DisplayName", c.Word() + " " + c.Word()), Sz("DisplayVersion", "1." + std::to_string(i)),
              Sz("Publisher", c.Word() + " Inc."), Sz("InstallLocation", c.PathText()),
              Sz("UninstallString", "MsiExec.exe /X" + c.Guid()), Dword("EstimatedSize", 1000u + i)});
  }

  // Installer components and vendors' trees fill the rest.
  const hive_node_h components =
      g.Path(root, "Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components");
  hive_node_h vendors_root = root;
  int vendor = 0;
  // Cells that do not fit the rest of a bin leave it unused: about an eighth more.
  while (g.estimate() * 9 / 8 < target) {
    // Two hundred vendors at the root, the rest in groups of as many.
    if (vendor >= 200 && vendor % 200 == 0) {
      vendors_root = g.Path(root, "Wow6432Node\\Group" + std::to_string(vendor / 200));
    }
    if (vendor % 4 == 0) {
      const hive_node_h bucket = g.Key(components, c.Guid().substr(1, 32) + std::to_string(vendor));
      for (int i = 0; i < 50; ++i) g.Values(g.Key(bucket, c.Guid()), {Sz(c.Guid(), c.PathText())});
    }
    const hive_node_h v = g.Key(vendors_root, "Vendor" + std::to_string(vendor++) + " " + c.Word());
    for (int p = c.Uniform(1, 6); p > 0; --p) {
      hive_node_h at = g.Key(v, c.Name());
      g.Values(at, c.Mixed(c.Uniform(2, 8)));
      for (int depth = c.Uniform(2, 7); depth > 0; --depth) {
        for (int sibling = c.Uniform(1, 5); sibling > 1; --sibling) {
          g.Values(g.Key(at, c.Name()), c.Mixed(c.Uniform(1, 10)));
        }
        at = g.Key(at, c.Name());
        g.Values(at, c.Mixed(c.Uniform(0, 12)));
      }
    }
  }
  if (hivex_commit(h, path.c_str(), 0) != 0) {
    std::perror("hivex_commit");
    return 1;
  }
  hivex_close(h);
  std::printf("%s: %ju bytes, %ju keys, %ju values\n", path.c_str(),
              static_cast<std::uintmax_t>(std::filesystem::file_size(path)), static_cast<std::uintmax_t>(g.keys()),
              static_cast<std::uintmax_t>(g.values()));
  return 0;
}
