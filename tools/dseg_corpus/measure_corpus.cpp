// Reads every zone of a corpus drawn by draw_corpus.py and counts, per class, the readings that
// are right, wrong (another value: the worst case on air) and without a value; where the manifest
// expects "-", no value is right and any value wrong. Uses only the role readers' interface, so
// that the same source builds against an older tree for a before-and-after figure.
//
//   measure_corpus CORPUS_DIR [--wrong]     (--wrong lists every wrong reading)

#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include <opencv2/imgcodecs.hpp>

#include "ocr/role_readers.h"

namespace tessvark {
namespace {

struct Tally {
  int right = 0;
  int wrong = 0;
  int none = 0;
  std::map<std::string, int> reasons;  // the reader's status word of readings without a value
};

std::optional<std::string> Read(const std::string& reader, const cv::Mat& zone, const std::optional<ZoneProcessing>& p,
                                std::string& status) {
  ReaderResult r;
  if (reader == "clock") {
    r = ReadClock(zone, "clock", p, ClockFormat::Auto);
    status = r.status;
    return r.ok ? std::optional<std::string>(r.text) : std::nullopt;
  }
  if (reader == "number") r = ReadNumber(zone, "home_score", p);
  if (reader == "period") r = ReadPeriod(zone, p);
  if (reader == "shot") r = ReadShotClock(zone, p);
  status = r.status;
  return r.ok ? std::optional<std::string>(std::to_string(r.number)) : std::nullopt;
}

int Run(const std::string& dir, bool list_wrong) {
  std::ifstream manifest(dir + "/manifest.tsv");
  if (!manifest) {
    std::fprintf(stderr, "no manifest.tsv in %s\n", dir.c_str());
    return 2;
  }
  std::map<std::string, Tally> tallies;
  std::string line;
  while (std::getline(manifest, line)) {
    std::istringstream fields(line);
    std::string file, cls, reader, expected, processing;
    std::getline(fields, file, '\t');
    std::getline(fields, cls, '\t');
    std::getline(fields, reader, '\t');
    std::getline(fields, expected, '\t');
    std::getline(fields, processing, '\t');
    const cv::Mat zone = cv::imread(dir + "/" + file, cv::IMREAD_COLOR);
    std::optional<ZoneProcessing> p;
    if (processing == "light") {
      p = ZoneProcessing{};
      p->invert = true;
    }
    std::string status;
    const std::optional<std::string> read = Read(reader, zone, p, status);
    Tally& t = tallies[cls];
    if (!read) {
      ++t.none;
      ++t.reasons[status];
      if (expected == "-") ++t.right;
    } else if (*read == expected) {
      ++t.right;
    } else {
      ++t.wrong;
      if (list_wrong) std::printf("wrong %s %s: '%s' -> '%s'\n", cls.c_str(), file.c_str(), expected.c_str(), read->c_str());
    }
  }
  Tally all;
  std::printf("%-12s %6s %6s %6s  %s\n", "class", "right", "wrong", "none", "reasons of none");
  for (const auto& [cls, t] : tallies) {
    std::string reasons;
    for (const auto& [reason, n] : t.reasons) reasons += " " + reason + ":" + std::to_string(n);
    // A class where no value is right counts its readings without one as right too.
    std::printf("%-12s %6d %6d %6d %s\n", cls.c_str(), t.right, t.wrong, t.none, reasons.c_str());
    all.right += t.right;
    all.wrong += t.wrong;
    all.none += t.none;
  }
  std::printf("%-12s %6d %6d %6d\n", "all", all.right, all.wrong, all.none);
  return 0;
}

}  // namespace
}  // namespace tessvark

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR [--wrong]\n", argv[0]);
    return 2;
  }
  return tessvark::Run(argv[1], argc > 2 && std::string(argv[2]) == "--wrong");
}
