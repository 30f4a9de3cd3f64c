// Signing benchmarks, each against its floor measured in the same run:
//
//  * strict, nested validation of a ~300 MB / 3000-file bundle (a nested
//    shell app, a 60 MB service binary) vs `openssl dgst -sha256` over the
//    same files (one process, one core, the processor's SHA instructions);
//  * seeding the 60 MB service binary (kernel copy + verification of the
//    copy against its designated requirement + rename) vs `cp` plus one
//    `openssl dgst -sha256` of the copy.
//
// Files are read once before timing, so both sides hash from the page cache.
// Run: signing_bench [--benchmark_repetitions=N]; the ratios print last.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "codesign/identity.h"
#include "codesign/requirement.h"
#include "codesign/signer.h"
#include "codesign/trust.h"
#include "codesign/verifier.h"

namespace fs = std::filesystem;

namespace {

struct Fixture {
  std::string root;  // temporary directory
  std::string bundle;
  std::string service;
  std::string fileList;  // NUL-separated list of every regular file in the bundle
  qlsign::TrustStore trust;
  qlsign::Requirement bundleRequirement, seedRequirement;
  size_t files = 0;
  uint64_t bytes = 0;
};

void writeRandom(const std::string& path, size_t size, uint64_t seed, mode_t mode = 0644) {
  std::vector<uint64_t> buf((size + 7) / 8);
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (auto& w : buf) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    w = x;
  }
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(buf.data()), static_cast<std::streamsize>(size));
  out.close();
  ::chmod(path.c_str(), mode);
}

void die(const std::string& what) {
  std::cerr << "signing_bench: " << what << "\n";
  std::exit(1);
}

Fixture& fixture() {
  static Fixture* f = [] {
    auto* fx = new Fixture;
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/signing-bench-XXXXXX";
    if (!mkdtemp(templ.data())) die("mkdtemp failed");
    fx->root = templ;
    std::string b = fx->bundle = fx->root + "/Bench.app";
    std::string shell = b + "/Contents/Helpers/Bench Shell.app";
    fs::create_directories(b + "/Contents/MacOS");
    fs::create_directories(b + "/Contents/Resources/bin");
    fs::create_directories(shell + "/Contents/MacOS");
    std::ofstream(b + "/Contents/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
           "<key>CFBundleExecutable</key><string>Bench</string>"
           "<key>CFBundleIdentifier</key><string>org.example.bench</string></dict></plist>";
    writeRandom(b + "/Contents/MacOS/Bench", 2 << 20, 1, 0755);
    fx->service = b + "/Contents/Resources/bin/quillmark";
    writeRandom(fx->service, 60 << 20, 2, 0755);
    writeRandom(shell + "/Contents/MacOS/Bench Shell", 8 << 20, 3, 0755);
    // The shell: 500 files, ~50 MB. The rest: 2495 files, ~180 MB.
    uint64_t seed = 10;
    for (int i = 0; i < 500; ++i) {
      std::string dir = shell + "/Contents/Resources/r" + std::to_string(i / 50);
      fs::create_directories(dir);
      writeRandom(dir + "/f" + std::to_string(i), 100 * 1024 + (i % 7) * 1024, seed++);
    }
    for (int i = 0; i < 2495; ++i) {
      std::string dir = b + "/Contents/Resources/web/d" + std::to_string(i / 100);
      fs::create_directories(dir);
      writeRandom(dir + "/a" + std::to_string(i), 40 * 1024 + (i % 64) * 1024, seed++);
    }

    qlsign::CertificateAuthority ca;
    qlsign::SigningIdentity id;
    std::string error;
    qlsign::LeafOptions leaf;
    leaf.teamIdentifier = "T4K9PV2XQM";
    if (!qlsign::makeAuthority({}, &ca, &error) || !qlsign::issueLeaf(ca, leaf, &id, &error)) die(error);
    fx->trust.addVendorAnchor(ca.root.get());
    qlsign::Outcome o = qlsign::signBundle(b, id, {});
    if (!o.ok()) die("signing failed: " + o.detail);
    if (!qlsign::designatedRequirement(b, &fx->bundleRequirement).ok() ||
        !qlsign::designatedRequirement(fx->service, &fx->seedRequirement).ok())
      die("no designated requirement");

    fx->fileList = fx->root + "/files.list";
    std::ofstream list(fx->fileList, std::ios::binary);
    std::vector<char> buf(1 << 20);
    for (const auto& e : fs::recursive_directory_iterator(b)) {
      if (!e.is_regular_file() || e.is_symlink()) continue;
      list << e.path().string() << '\0';
      ++fx->files;
      fx->bytes += e.file_size();
      std::ifstream warm(e.path(), std::ios::binary);  // into the page cache
      while (warm.read(buf.data(), static_cast<std::streamsize>(buf.size()))) {
      }
    }
    list.close();
    std::cerr << "bundle: " << fx->files << " files, " << fx->bytes / (1 << 20) << " MiB in " << b << "\n";
    return fx;
  }();
  return *f;
}

void run(const std::string& command) {
  if (std::system(command.c_str()) != 0) die("command failed: " + command);
}

std::string quote(const std::string& s) { return "'" + s + "'"; }

void BM_ValidateStrictNested(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    qlsign::Outcome o = qlsign::validateCode(f.bundle, qlsign::kStrictValidate | qlsign::kCheckNestedCode,
                                             &f.bundleRequirement, f.trust);
    if (!o.ok()) die("validation failed: " + o.detail);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.bytes));
}

void BM_OpensslDgstSameFiles(benchmark::State& state) {
  Fixture& f = fixture();
  // One openssl process over every file (xargs splits only at ARG_MAX).
  std::string cmd = "xargs -0 openssl dgst -sha256 < " + quote(f.fileList) + " > /dev/null";
  for (auto _ : state) run(cmd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.bytes));
}

// What the launcher does: kernel copy with the mode kept, verify the copy,
// atomic rename.
void BM_SeedServiceBinary(benchmark::State& state) {
  Fixture& f = fixture();
  std::string staged = f.root + "/seed.staged", seeded = f.root + "/quillmark";
  for (auto _ : state) {
    int in = ::open(f.service.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    ::fstat(in, &st);
    int out = ::open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
    off_t left = st.st_size;
    while (left > 0) {
      ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(left), 0);
      if (n <= 0) die("copy_file_range failed");
      left -= n;
    }
    ::close(in);
    ::close(out);
    qlsign::Outcome o = qlsign::validateCode(staged, 0, &f.seedRequirement, f.trust);
    if (!o.ok()) die("staged verify failed: " + o.detail);
    if (::rename(staged.c_str(), seeded.c_str()) != 0) die("rename failed");
  }
}

void BM_CpPlusOpensslDgst(benchmark::State& state) {
  Fixture& f = fixture();
  std::string copy = f.root + "/cp.copy";
  std::string cmd = "rm -f " + quote(copy) + " && cp " + quote(f.service) + " " + quote(copy) +
                    " && openssl dgst -sha256 " + quote(copy) + " > /dev/null";
  for (auto _ : state) run(cmd);
}

// Process CPU time (all threads): the CPU column then says how many cores
// the validation kept busy; by default it would count the calling thread only.
BENCHMARK(BM_ValidateStrictNested)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->MinTime(3);
BENCHMARK(BM_OpensslDgstSameFiles)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_SeedServiceBinary)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_CpPlusOpensslDgst)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

// Keeps each benchmark's wall time per iteration for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.iterations == 0) continue;
      std::string name = r.benchmark_name();
      name = name.substr(0, name.find('/'));
      auto& [total, n] = times_[name];
      total += r.GetAdjustedRealTime();
      ++n;
    }
  }
  double mean(const std::string& name) const {
    auto it = times_.find(name);
    return it == times_.end() || it->second.second == 0 ? 0 : it->second.first / it->second.second;
  }

 private:
  std::map<std::string, std::pair<double, int>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  fixture();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  double v = reporter.mean("BM_ValidateStrictNested"), d = reporter.mean("BM_OpensslDgstSameFiles");
  double s = reporter.mean("BM_SeedServiceBinary"), c = reporter.mean("BM_CpPlusOpensslDgst");
  if (v > 0 && d > 0)
    std::printf("ratio validate/openssl-dgst: %.2f (%.1f ms vs %.1f ms; below 1 is faster)\n", v / d, v, d);
  if (s > 0 && c > 0)
    std::printf("ratio seed/(cp+openssl-dgst): %.2f (%.1f ms vs %.1f ms; below 1 is faster)\n", s / c, s, c);
  fs::remove_all(fixture().root);
  benchmark::Shutdown();
  return 0;
}
