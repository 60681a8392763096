#include "ocr/ink_layout.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/agent_roles.h"
#include "ocr/digit_recognition.h"
#include "ocr/zone_geometry.h"

namespace tessvark {
namespace {

// Slants told, in columns per row, in steps of kSlantStep: the usual italic leans of up to about
// 14 degrees, and a little the other way (a camera's roll).
constexpr double kSlantStep = 0.02;
constexpr double kLeastSlant = -0.08;
constexpr double kMostSlant = 0.26;
// The least lean, in pixels over the digits' height, that is sheared back.
constexpr double kLeastLean = 1.5;
// Runs of ink longer than this share of the digits' height are bars, not strokes.
constexpr double kStrokeRun = 0.3;
// A stroke followed over at least kLeastStroke of the digits' height shows the lean; strokes
// followed over kLeastStrokes digit heights in all tell it, when kAgreeingShare of their length
// agrees on it within kLeanAgreement.
constexpr double kLeastStroke = 0.25;
constexpr double kLeastStrokes = 0.5;
constexpr double kLeanAgreement = 0.04;
constexpr double kAgreeingShare = 0.6;
// Without strokes that tell (dots), the lean that lines the ink up in the fewest columns, saving
// at least this many of them over upright.
constexpr int32_t kLeastSaving = 2;
// A digit reaches over at least this share of the digits' rows; every digit has a segment in the
// upper and the lower half.
constexpr double kDigitSpan = 0.7;
// Seven-segment digits are at least this share of their height wide.
constexpr double kNarrowestDigit = 0.5;
// Pieces whose right sides lie closer than kPitchShare of a digit width are one digit, as long as
// together they are no wider than kCellSlack digit widths (the width is measured on the widest
// whole digit, which a dim frame may have narrowed) and lie at most kJoinGap of the digits'
// height apart.
constexpr double kPitchShare = 0.9;
constexpr double kCellSlack = 1.4;
constexpr double kJoinGap = 0.2;
// A stroke at most this share of the digits' height wide may be a whole 1 (a bold face's too).
constexpr double kWholeStrokeWidth = 0.3;
// A 1 stands at least this share of the digits' height before the next digit.
constexpr double kStrokeGap = 0.1;
// A digit whose ink reaches over this share of the tallest digit's rows shows its own height.
constexpr double kWholeDigitSpan = 0.93;
// A separator's mark is at most this share of the digits' height tall.
constexpr double kMarkHeight = 0.34;
// A cell wider than this many times the widest of the others may hold marks touching a digit;
// marks are at most kMarkAspect times as tall as the columns they fill, and at least
// kKeptDigitShare of that width must be left for the digit.
constexpr double kWideCell = 1.12;
constexpr double kMarkAspect = 1.6;
constexpr double kKeptDigitShare = 0.8;
// A digit's cell reaches this share of its height below its ink.
constexpr double kCellRoom = 0.025;
// A slot reaches this share of a digit width beyond its digit's cell, where no neighbour is closer.
constexpr double kSlotPad = 0.2;

struct Cell {
  int32_t left = 0;
  int32_t right = 0;
  int32_t top = 0;
  int32_t bottom = 0;
  bool separator = false;
  int8_t stroke = -1;  // whether the cell is a lone stroke: 1, 0, or -1 not yet known
  int32_t Width() const { return right - left + 1; }
  double Centre() const { return (left + right) / 2.0; }
};

// The rows of the digits: the strong rows of the ink, without thin bands at the picture's top or
// bottom edge, grown over nearby weaker rows.
std::optional<IndexRun> DigitRows(const cv::Mat& prepared) {
  std::vector<uint64_t> rows(prepared.rows, 0);
  for (int32_t y = 0; y < prepared.rows; ++y) {
    const uchar* row = prepared.ptr<uchar>(y);
    for (int32_t x = 0; x < prepared.cols; ++x) rows[y] += row[x] != 0 ? 1 : 0;
  }
  return FindDigitRows(rows);
}

// How many ink pixels each column holds over rows top..bottom.
std::vector<int32_t> ColumnInk(const cv::Mat& upright, int32_t top, int32_t bottom) {
  std::vector<int32_t> columns(upright.cols, 0);
  for (int32_t y = std::max(top, 0); y <= std::min(bottom, upright.rows - 1); ++y) {
    const uchar* row = upright.ptr<uchar>(y);
    for (int32_t x = 0; x < upright.cols; ++x) columns[x] += row[x] != 0 ? 1 : 0;
  }
  return columns;
}

// How far row y moves left when the picture is sheared upright about `bottom`.
int32_t ShiftOf(double slant, int32_t bottom, int32_t y) { return RoundHalfEven(slant * (bottom - y)); }

// The ink runs of every row top..bottom, as (row, first column, last column).
struct RowRun {
  int32_t y;
  int32_t x0;
  int32_t x1;
};

std::vector<RowRun> RowRuns(const cv::Mat& prepared, int32_t top, int32_t bottom) {
  std::vector<RowRun> runs;
  for (int32_t y = top; y <= bottom; ++y) {
    const uchar* row = prepared.ptr<uchar>(y);
    int32_t start = -1;
    for (int32_t x = 0; x <= prepared.cols; ++x) {
      const bool ink = x < prepared.cols && row[x] != 0;
      if (ink && start < 0) start = x;
      if (!ink && start >= 0) {
        runs.push_back(RowRun{y, start, x - 1});
        start = -1;
      }
    }
  }
  return runs;
}


// A separator's marks found as pieces of ink of their own, so that marks standing closer to a
// digit than a column of empty space are still told apart from it.
struct Marks {
  std::string shape;             // ":" or "."
  std::vector<int32_t> indices;  // the marks' pieces
  int32_t left = 0;              // columns of the marks
  int32_t right = 0;
};

// A colon (two small marks, one above the other about the middle of the digits' rows) or a point
// (one small mark at their bottom), with no other ink in their columns over the digits' rows (the
// LEDs of a dotted digit have their neighbours above and below). Of several, the one nearest
// `expected` (a column); of a colon and a point, the colon.
std::optional<Marks> FindMarks(const std::vector<InkComponent>& pieces, const cv::Mat& labels, int32_t top,
                               int32_t bottom, double expected) {
  const double h = bottom - top + 1;
  std::vector<int32_t> small;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const cv::Rect& b = pieces[i].box;
    const bool compact = 2 * pieces[i].size >= static_cast<int64_t>(b.area());
    if (pieces[i].size >= 4 && compact && b.height <= kMarkHeight * h && b.width <= 0.5 * h &&
        b.height <= 2.2 * b.width && b.width <= 2.5 * b.height) {
      small.push_back(static_cast<int32_t>(i));
    }
  }
  auto centre = [&](const cv::Rect& b) { return (b.y + (b.height - 1) / 2.0) / h; };  // labels start at top
  // No ink but the marks' own in columns x0..x1 over the digits' rows.
  auto alone = [&](int32_t x0, int32_t x1, const std::vector<int32_t>& own) {
    for (int32_t y = 0; y < labels.rows; ++y) {
      const int32_t* row = labels.ptr<int32_t>(y);
      for (int32_t x = x0; x <= x1; ++x) {
        if (row[x] != 0 && std::find(own.begin(), own.end(), row[x] - 1) == own.end()) return false;
      }
    }
    return true;
  };
  std::optional<Marks> best;
  auto consider = [&](Marks marks) {
    const double position = (marks.left + marks.right) / 2.0;
    if (!best || (best->shape == "." && marks.shape == ":") ||
        (best->shape == marks.shape &&
         std::abs(position - expected) < std::abs((best->left + best->right) / 2.0 - expected))) {
      best = std::move(marks);
    }
  };
  for (int32_t a : small) {
    const cv::Rect& upper = pieces[a].box;
    for (int32_t b : small) {
      const cv::Rect& lower = pieces[b].box;
      const bool placed = centre(upper) >= 0.1 && centre(upper) <= 0.48 && centre(lower) >= 0.52 && centre(lower) <= 0.9;
      if (a == b || !placed) continue;
      const int32_t x0 = std::max(upper.x, lower.x);
      const int32_t x1 = std::min(upper.x + upper.width, lower.x + lower.width) - 1;
      const double size = static_cast<double>(std::min(pieces[a].size, pieces[b].size)) /
                          static_cast<double>(std::max(pieces[a].size, pieces[b].size));
      if (2 * (x1 - x0 + 1) < std::min(upper.width, lower.width) || size < 0.35 || !alone(x0, x1, {a, b})) continue;
      const int32_t right = std::max(upper.x + upper.width, lower.x + lower.width) - 1;
      consider(Marks{":", {a, b}, std::min(upper.x, lower.x), right});
    }
    if (centre(upper) >= 0.72 && upper.y + upper.height >= 0.85 * h && alone(upper.x, upper.x + upper.width - 1, {a})) {
      consider(Marks{".", {a}, upper.x, upper.x + upper.width - 1});
    }
  }
  return best;
}

// Ink over the rows of a colon's upper mark in the columns about x.
bool InkAbovePoint(const cv::Mat& upright, double x, int32_t top, int32_t bottom) {
  const double h = bottom - top + 1;
  const int32_t reach = std::max(RoundHalfEven(0.04 * h), 1);
  const int32_t x0 = std::max(RoundHalfEven(x) - reach, 0);
  const int32_t x1 = std::min(RoundHalfEven(x) + reach, upright.cols - 1);
  int32_t rows = 0;
  for (int32_t y = top + RoundHalfEven(0.12 * h); y <= top + RoundHalfEven(0.48 * h); ++y) {
    const uchar* row = upright.ptr<uchar>(y);
    rows += std::any_of(row + x0, row + x1 + 1, [](uchar v) { return v != 0; }) ? 1 : 0;
  }
  return rows >= 0.06 * h;
}

// The noise floor of a piece: specks of compression or of a threshold at the board's level.
bool IsSpeck(const InkPiece& piece, int32_t digit_height) {
  const double least = std::max(3.0, 0.002 * digit_height * digit_height);
  return piece.ink < least && piece.rows < 0.15 * digit_height;
}

bool LeftOf(const Cell& a, const Cell& b) { return a.Centre() < b.Centre(); }

// A narrow piece over the digits' rows: a 1, or the left side of a 0, a 6 or an 8, whose bars
// then reach over those rows too.
bool IsWholeStroke(const Cell& cell, int32_t digit_height) {
  return cell.Width() <= kWholeStrokeWidth * digit_height && cell.bottom - cell.top + 1 >= kDigitSpan * digit_height;
}

// Whether the whole stroke cells[i] is the left side of the digit right of it: it stands close to
// a digit before it, as a digit's own bars stand, yet closer still to the rest of its digit. A 1 stands
// at the right of its cell, far from the digit before it, and keeps its own slot.
bool LeftSideOfNext(const std::vector<Cell>& cells, size_t i, int32_t digit_height, double widest_gap) {
  if (i == 0 || i + 1 >= cells.size() || !IsWholeStroke(cells[i], digit_height)) return false;
  const Cell& before = cells[i - 1];
  const Cell& side = cells[i];
  const Cell& next = cells[i + 1];
  // The rest of the digit is its bars, over the digits' rows: not a stroke, nor one LED of a
  // dotted board whose every column stands apart.
  if (before.separator || next.separator || IsWholeStroke(next, digit_height) ||
      next.bottom - next.top + 1 < kDigitSpan * digit_height) {
    return false;
  }
  const int32_t gap_before = side.left - before.right - 1;
  const int32_t gap_after = next.left - side.right - 1;
  return gap_before <= widest_gap && gap_after < gap_before;
}

// Every digit lights a segment at the right side of its cell, so the right sides of two digits lie
// at least a digit width apart: pieces whose right sides lie closer are one digit (the LEDs of a
// dotted board, the segments of a dim frame). They are joined, closest first, as long as the
// joined piece stays about a digit wide and the gap between them is no wider than the gaps
// between the LEDs of a sparse board: a dim 1 beside the faint left segment of a 9 stays apart,
// and the ink is not understood. Nothing but the next digit's bars stands right of a whole 1 that
// reaches below them: a thin face's upper left bar of a 4 or a 9, set apart from the rest of it,
// is not the 1's (14 read 4, 19 read 13).
std::vector<Cell> JoinPieces(std::vector<Cell> cells, double digit_width, int32_t digit_height) {
  const double widest_gap = kJoinGap * digit_height;
  for (;;) {
    size_t best = cells.size();
    int32_t best_step = 0;
    for (size_t i = 0; i + 1 < cells.size(); ++i) {
      const Cell& a = cells[i];
      const Cell& b = cells[i + 1];
      const int32_t step = b.right - a.right;
      // A piece that does not reach over the digits' rows is no digit of its own, nor the right
      // side of one: a thin face's lone left bar belongs to the digit right of it, and so does the
      // left side of an 8, a 6 or a 0 that stands closer to the rest of its digit than to the
      // digit before it (58 read 93, 18.7 read 13.7).
      const bool left_bar = (a.bottom - a.top + 1 < kDigitSpan * digit_height && !IsWholeStroke(b, digit_height)) ||
                            LeftSideOfNext(cells, i, digit_height, widest_gap);
      if (a.separator || b.separator || (step >= kPitchShare * digit_width && !left_bar) ||
          LeftSideOfNext(cells, i + 1, digit_height, widest_gap) ||
          b.right - a.left + 1 > kCellSlack * digit_width || b.left - a.right - 1 > widest_gap ||
          (IsWholeStroke(a, digit_height) && b.bottom - b.top + 1 < kDigitSpan * digit_height)) {
        continue;
      }
      if (best == cells.size() || step < best_step) {
        best = i;
        best_step = step;
      }
    }
    if (best == cells.size()) break;
    Cell& a = cells[best];
    const Cell& b = cells[best + 1];
    a.right = b.right;
    a.top = std::min(a.top, b.top);
    a.bottom = std::max(a.bottom, b.bottom);
    a.stroke = -1;
    cells.erase(cells.begin() + static_cast<std::ptrdiff_t>(best) + 1);
  }
  return cells;
}

// A cell whose rows hold runs of about one length, none distinctly longer: a lone stroke (a 1,
// however fat), not a digit with bars.
bool IsStroke(const cv::Mat& upright, const Cell& cell) {
  std::vector<int32_t> lengths;
  for (int32_t y = cell.top; y <= cell.bottom; ++y) {
    const uchar* row = upright.ptr<uchar>(y);
    int32_t longest = 0;
    int32_t run = 0;
    for (int32_t x = cell.left; x <= cell.right; ++x) {
      run = row[x] != 0 ? run + 1 : 0;
      longest = std::max(longest, run);
    }
    if (longest > 0) lengths.push_back(longest);
  }
  if (lengths.size() < 4) return false;
  std::nth_element(lengths.begin(), lengths.begin() + static_cast<std::ptrdiff_t>(lengths.size() / 2), lengths.end());
  const double median = lengths[lengths.size() / 2];
  const int32_t longest = *std::max_element(lengths.begin(), lengths.end());
  return longest < std::max(median + 2.0, 1.5 * median);
}

// The width of the digits: that of the widest cell (other than `besides`) that spans the digits'
// rows and is neither a lone stroke nor two digits run together (a 3, a 7 or a 1 lights no left
// segment and is narrower). Nothing when no cell shows it.
std::optional<double> DigitWidthOf(const cv::Mat& upright, std::vector<Cell>& cells, int32_t digit_height,
                                   const Cell* besides = nullptr) {
  std::optional<double> widest;
  for (Cell& cell : cells) {
    if (&cell == besides || cell.separator || cell.bottom - cell.top + 1 < 0.85 * digit_height) continue;
    if (cell.Width() < 0.3 * digit_height || cell.Width() > 0.85 * digit_height) continue;
    if (cell.stroke < 0) cell.stroke = IsStroke(upright, cell) ? 1 : 0;
    if (cell.stroke == 1) continue;
    widest = std::max(widest.value_or(0.0), static_cast<double>(cell.Width()));
  }
  return widest;
}

// What one column shows of a separator's marks: two small marks stacked about the middle of the
// digits' rows (a colon), one at their bottom (a point), or neither; and its longest mark.
struct MarkColumn {
  std::string shape;  // ":", "." or empty
  int32_t longest = 0;
};

MarkColumn MarkColumnAt(const cv::Mat& upright, int32_t x, int32_t top, int32_t bottom) {
  const double h = bottom - top + 1;
  const int32_t join = std::max(RoundHalfEven(0.03 * h), 1);
  std::vector<IndexRun> runs;
  for (int32_t y = top; y <= bottom; ++y) {
    if (upright.ptr<uchar>(y)[x] == 0) continue;
    if (!runs.empty() && y - runs.back().end - 1 <= join) {
      runs.back().end = y;
    } else {
      runs.push_back(IndexRun{y, y});
      if (runs.size() > 2) return {};
    }
  }
  MarkColumn column;
  for (const IndexRun& run : runs) column.longest = std::max(column.longest, run.Length());
  if (column.longest > kMarkHeight * h) return {};
  auto centre = [&](const IndexRun& run) { return ((run.start + run.end) / 2.0 - top) / h; };
  if (runs.size() == 2 && centre(runs[0]) >= 0.1 && centre(runs[0]) <= 0.48 && centre(runs[1]) >= 0.52 &&
      centre(runs[1]) <= 0.9) {
    column.shape = ":";
  } else if (runs.size() == 1 && centre(runs[0]) >= 0.72) {
    column.shape = ".";
  }
  return column;
}

// Marks touching a digit (a colon or point closer to it than a pixel or two) make its cell wider
// than the others, or a 1 more than a stroke: the columns at its side that show only marks,
// about as tall as they are wide (unlike the edge of a side segment, much taller than wide), are
// cut off as the separator's cell. Nothing when no cell shows such marks.
std::optional<std::pair<std::string, Cell>> CutAttachedMarks(const cv::Mat& upright, std::vector<Cell>& cells,
                                                             int32_t top, int32_t bottom, int32_t digit_height) {
  for (Cell& cell : cells) {
    const std::optional<double> reference = DigitWidthOf(upright, cells, digit_height, &cell);
    if (cell.separator || !reference) continue;
    const bool wide = cell.Width() > kWideCell * *reference;
    for (const int32_t step : {1, -1}) {
      const int32_t from = step > 0 ? cell.left : cell.right;
      const MarkColumn first = MarkColumnAt(upright, from, top, bottom);
      if (first.shape.empty()) continue;
      int32_t x = from;
      int32_t longest = 0;
      for (; x >= cell.left && x <= cell.right; x += step) {
        const MarkColumn column = MarkColumnAt(upright, x, top, bottom);
        if (column.shape != first.shape) break;
        longest = std::max(longest, column.longest);
      }
      const int32_t width = std::abs(x - from);
      if (width < 2 || longest > kMarkAspect * width) continue;
      Cell marks = cell;
      marks.separator = true;
      Cell rest = cell;
      rest.stroke = -1;
      if (step > 0) {
        marks.right = x - 1;
        rest.left = x;
      } else {
        marks.left = x + 1;
        rest.right = x;
      }
      // What is left is a whole digit, or a 1 (a lone stroke beside the marks).
      if (!(wide && rest.Width() >= kKeptDigitShare * *reference) && !IsStroke(upright, rest)) continue;
      cell = rest;
      return std::make_pair(first.shape, marks);
    }
  }
  return std::nullopt;
}

DigitSlot Slot(const char* kind, std::optional<int32_t> index, int32_t left, int32_t right, int32_t height) {
  DigitSlot slot;
  slot.kind = kind;
  slot.digit_index = index;
  slot.left = left;
  slot.right = std::max(left, right);
  slot.top = 0;
  slot.bottom = std::max(height, 1) - 1;
  return slot;
}

// Slots for the characters in order: each over its character's cell and a little beyond, bounded
// at the middle of the gaps between them. A digit's cell is as wide as a digit; a 1, which lights
// only the right side of its cell, stands at the right of it, as the recogniser expects.
struct Placed {
  const Cell* cell;  // nullptr: a blank digit position
  bool separator;
};

DigitLayout SlotsFor(const std::vector<Placed>& items, double digit_width, int32_t width, int32_t height) {
  const int32_t pad = std::max(RoundHalfEven(kSlotPad * digit_width), 1);
  const int32_t cell_width = std::max(RoundHalfEven(digit_width), 1);
  std::vector<std::pair<int32_t, int32_t>> cells(items.size(), {-1, -1});
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i].cell == nullptr) continue;
    int32_t left = items[i].cell->left;
    const int32_t right = items[i].cell->right;
    if (!items[i].separator) {
      int32_t before = 0;
      for (size_t j = i; j-- > 0;) {
        if (cells[j].first < 0) continue;
        before = cells[j].second + 1;
        break;
      }
      left = std::max(std::min(left, right - cell_width + 1), std::min(before, left));
    }
    cells[i] = {left, right};
  }
  std::vector<std::pair<int32_t, int32_t>> spans(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    if (cells[i].first < 0) continue;
    int32_t left = std::max(cells[i].first - pad, 0);
    int32_t right = std::min(cells[i].second + pad, width - 1);
    if (items[i].separator) {
      left = cells[i].first;
      right = cells[i].second;
    }
    for (size_t j = i; j-- > 0;) {
      if (cells[j].first < 0) continue;
      left = std::max(left, (cells[j].second + cells[i].first + 1) / 2);
      break;
    }
    for (size_t j = i + 1; j < items.size(); ++j) {
      if (cells[j].first < 0) continue;
      right = std::min(right, (cells[i].second + cells[j].first - 1) / 2);
      break;
    }
    spans[i] = {left, right};
  }
  // A blank position lies beside its neighbour's slot: before it at the start, after it at the end.
  const int32_t blank = cell_width + pad;
  for (size_t i = 0; i < items.size(); ++i) {
    if (cells[i].first >= 0) continue;
    if (i + 1 < items.size() && cells[i + 1].first >= 0) {
      const int32_t next = spans[i + 1].first;
      spans[i] = {std::max(next - blank, 0), std::max(next - 1, 0)};
    } else if (i > 0 && cells[i - 1].first >= 0) {
      const int32_t previous = spans[i - 1].second;
      spans[i] = {std::min(previous + 1, width - 1), std::min(previous + blank, width - 1)};
    }
  }
  DigitLayout layout;
  int32_t index = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i].separator) {
      layout.push_back(Slot("separator", std::nullopt, spans[i].first, spans[i].second, height));
    } else {
      layout.push_back(Slot("digit", index++, spans[i].first, spans[i].second, height));
    }
  }
  return layout;
}

// The cell of each digit position: a digit width ending at the digit's right side, over the rows
// of the nearest digit that shows its whole height (a 7 or a 4 lacks the bottom bar, a 1 and a 4
// the top one; a slightly turned board has its digits at different heights).
std::vector<std::optional<DigitCell>> CellsOfDigits(const std::vector<Placed>& items,
                                                    const std::vector<const Cell*>& digits, double digit_width) {
  int32_t tallest = 0;
  for (const Cell* digit : digits) tallest = std::max(tallest, digit->bottom - digit->top + 1);
  auto whole = [&](const Cell* cell) { return cell->bottom - cell->top + 1 >= kWholeDigitSpan * tallest; };
  const int32_t width = std::max(RoundHalfEven(digit_width), 1);
  std::vector<std::optional<DigitCell>> cells;
  for (const Placed& item : items) {
    if (item.separator) continue;
    if (item.cell == nullptr) {
      cells.emplace_back();
      continue;
    }
    const Cell& own = *item.cell;
    const Cell* nearest = &own;
    if (!whole(&own)) {
      for (const Cell* digit : digits) {
        if (whole(digit) && (nearest == &own || std::abs(digit->Centre() - own.Centre()) <
                                                    std::abs(nearest->Centre() - own.Centre()))) {
          nearest = digit;
        }
      }
    }
    // A little room below: the bottom bar's window stops short of the box's last rows, where the
    // thin bar of a dim frame would lie.
    const int32_t top = std::min(own.top, nearest->top);
    const int32_t bottom = std::max(own.bottom, nearest->bottom);
    const int32_t room = RoundHalfEven(kCellRoom * (bottom - top + 1));
    cells.push_back(DigitCell{std::min(own.left, own.right - width + 1), own.right, top, bottom + room});
  }
  return cells;
}

RoleLayout LayoutOf(const std::string& role) {
  const AgentRole* row = FindAgentRole(role);
  return row != nullptr ? row->layout : RoleLayout::kOneDigit;
}

// How many columns the runs cover once sheared by `slant`.
int32_t ShearedColumns(const std::vector<RowRun>& runs, int32_t width, double slant, int32_t top, int32_t bottom,
                       std::vector<int32_t>& steps) {
  const int32_t most = std::max(ShiftOf(slant, bottom, top), 0);
  const int32_t least = std::min(ShiftOf(slant, bottom, top), 0);
  const int32_t span = width + most - least + 1;
  steps.assign(static_cast<size_t>(span) + 1, 0);
  for (const RowRun& run : runs) {
    const int32_t shift = ShiftOf(slant, bottom, run.y);
    ++steps[run.x0 - shift + most];
    --steps[run.x1 - shift + most + 1];
  }
  int32_t covered = 0;
  int32_t depth = 0;
  for (int32_t x = 0; x < span; ++x) {
    depth += steps[x];
    covered += depth > 0 ? 1 : 0;
  }
  return covered;
}

// The lean that lines the runs up in the fewest columns, for ink without strokes to follow (the
// LEDs of a dotted board): upright first, then ever larger leans, so that of equal results the
// smaller lean stands, and a lean must save a couple of columns over upright.
double LeanOfFewestColumns(const std::vector<RowRun>& runs, int32_t width, int32_t top, int32_t bottom) {
  std::vector<int32_t> steps;
  double best = 0.0;
  int32_t fewest = ShearedColumns(runs, width, 0.0, top, bottom, steps) - (kLeastSaving - 1);
  const double least_lean = kLeastLean / (bottom - top + 1);
  for (int step = 1; step * kSlantStep <= std::max(kMostSlant, -kLeastSlant) + 1e-9; ++step) {
    for (const double slant : {step * kSlantStep, -step * kSlantStep}) {
      if (slant > kMostSlant + 1e-9 || slant < kLeastSlant - 1e-9 || std::abs(slant) < least_lean) continue;
      const int32_t covered = ShearedColumns(runs, width, slant, top, bottom, steps);
      if (covered < fewest) {
        fewest = covered;
        best = slant;
      }
    }
  }
  return best;
}

}  // namespace

double EstimateSlant(const cv::Mat& prepared, int32_t top, int32_t bottom) {
  if (prepared.empty() || bottom <= top) return 0.0;
  const double height = bottom - top + 1;
  // The side strokes show the lean: each is followed down the rows as a chain of short runs that
  // overlap from row to row (a bar's long run ends it), and the line through its runs' centres
  // leans by the slant.
  struct Stroke {
    RowRun last;
    double n = 0, sy = 0, sx = 0, syy = 0, sxy = 0;  // sums for the least-squares line x(y)
    bool extended = false;
  };
  std::vector<Stroke> open;
  std::vector<std::pair<double, double>> leans;  // (lean, weight)
  auto close = [&](const Stroke& stroke) {
    if (stroke.n < kLeastStroke * height) return;
    const double spread = stroke.n * stroke.syy - stroke.sy * stroke.sy;
    if (spread <= 0.0) return;
    const double dx_dy = (stroke.n * stroke.sxy - stroke.sy * stroke.sx) / spread;
    leans.emplace_back(-dx_dy, stroke.n);  // the top leans right: x falls as y grows
  };
  const std::vector<RowRun> runs = RowRuns(prepared, top, bottom);
  size_t next = 0;
  std::vector<Stroke> started;
  std::vector<Stroke> kept;
  for (int32_t y = top; y <= bottom; ++y) {
    for (Stroke& stroke : open) stroke.extended = false;
    started.clear();
    for (; next < runs.size() && runs[next].y == y; ++next) {
      const RowRun& run = runs[next];
      if (run.x1 - run.x0 + 1 > kStrokeRun * height) continue;
      Stroke* follows = nullptr;
      for (Stroke& stroke : open) {
        if (!stroke.extended && run.x0 <= stroke.last.x1 && run.x1 >= stroke.last.x0) {
          follows = &stroke;
          break;
        }
      }
      if (follows == nullptr) {
        started.emplace_back();
        follows = &started.back();
      }
      const double x = (run.x0 + run.x1) / 2.0;
      follows->last = run;
      follows->extended = true;
      follows->n += 1;
      follows->sy += y;
      follows->sx += x;
      follows->syy += static_cast<double>(y) * y;
      follows->sxy += x * y;
    }
    kept.clear();
    for (const Stroke& stroke : open) {
      if (stroke.extended) {
        kept.push_back(stroke);
      } else {
        close(stroke);
      }
    }
    kept.insert(kept.end(), started.begin(), started.end());
    open.swap(kept);
  }
  for (const Stroke& stroke : open) close(stroke);
  double followed = 0.0;
  for (const auto& lean : leans) followed += lean.second;
  if (followed < kLeastStrokes * height) return LeanOfFewestColumns(runs, prepared.cols, top, bottom);
  // The weighted median: strokes bent by a junction or a neighbour do not move it.
  std::sort(leans.begin(), leans.end());
  double total = 0.0;
  for (const auto& lean : leans) total += lean.second;
  double seen = 0.0;
  double lean = leans.back().first;
  for (const auto& [value, weight] : leans) {
    seen += weight;
    if (seen >= total / 2.0) {
      lean = value;
      break;
    }
  }
  // Most of the strokes must agree on it; where they do not (blur rounding a digit's corners, a
  // junction bending a stroke) the fewest columns tell.
  double agreeing = 0.0;
  for (const auto& [value, weight] : leans) agreeing += std::abs(value - lean) <= kLeanAgreement ? weight : 0.0;
  if (agreeing < kAgreeingShare * total) return LeanOfFewestColumns(runs, prepared.cols, top, bottom);
  // A lean outside what boards show is no lean; one of less than a pixel or two over the digits'
  // height is not told from rounding.
  if (lean < kLeastSlant || lean > kMostSlant || std::abs(lean) * height < kLeastLean) return 0.0;
  return std::round(lean / kSlantStep) * kSlantStep;
}

cv::Mat ShearUpright(const cv::Mat& prepared, double slant, int32_t bottom, int32_t& offset) {
  offset = 0;
  if (slant == 0.0 || prepared.empty()) return prepared;
  const int32_t rows = prepared.rows;
  int32_t most = 0;
  int32_t least = 0;
  for (int32_t y = 0; y < rows; ++y) {
    most = std::max(most, ShiftOf(slant, bottom, y));
    least = std::min(least, ShiftOf(slant, bottom, y));
  }
  offset = most;
  cv::Mat upright = cv::Mat::zeros(rows, prepared.cols + most - least, CV_8U);
  for (int32_t y = 0; y < rows; ++y) {
    const int32_t start = offset - ShiftOf(slant, bottom, y);
    std::memcpy(upright.ptr<uchar>(y) + start, prepared.ptr<uchar>(y), static_cast<size_t>(prepared.cols));
  }
  return upright;
}

std::vector<InkPiece> FindInkPieces(const cv::Mat& upright, int32_t top, int32_t bottom) {
  std::vector<InkPiece> pieces;
  if (upright.empty() || bottom < top) return pieces;
  const std::vector<int32_t> columns = ColumnInk(upright, top, bottom);
  for (int32_t x = 0; x < upright.cols; ++x) {
    if (columns[x] == 0) continue;
    if (!pieces.empty() && pieces.back().right == x - 1) {
      pieces.back().right = x;
    } else {
      InkPiece piece;
      piece.left = piece.right = x;
      pieces.push_back(piece);
    }
  }
  for (InkPiece& piece : pieces) {
    piece.top = -1;
    for (int32_t y = top; y <= bottom; ++y) {
      const uchar* row = upright.ptr<uchar>(y);
      int32_t first = -1;
      int32_t last = -1;
      for (int32_t x = piece.left; x <= piece.right; ++x) {
        if (row[x] == 0) continue;
        if (first < 0) first = x;
        last = x;
        ++piece.ink;
      }
      if (first < 0) continue;
      ++piece.rows;
      if (piece.top < 0) piece.top = y;
      piece.bottom = y;
      if (!piece.runs.empty() && piece.runs.back().bottom == y - 1) {
        InkPiece::Run& run = piece.runs.back();
        run.bottom = y;
        run.left = std::min(run.left, first);
        run.right = std::max(run.right, last);
      } else {
        piece.runs.push_back(InkPiece::Run{y, y, first, last});
      }
    }
  }
  return pieces;
}

std::optional<std::string> SeparatorShape(const InkPiece& piece, int32_t top, int32_t bottom) {
  const double h = bottom - top + 1;
  if (piece.runs.empty() || piece.Width() > 0.5 * h) return std::nullopt;
  // Rows split by a row or two of noise belong together; specks hanging off a mark do not count.
  const int32_t join = std::max(RoundHalfEven(0.03 * h), 1);
  std::vector<InkPiece::Run> marks;
  for (const InkPiece::Run& run : piece.runs) {
    if (!marks.empty() && run.top - marks.back().bottom - 1 <= join) {
      InkPiece::Run& mark = marks.back();
      mark.bottom = run.bottom;
      mark.left = std::min(mark.left, run.left);
      mark.right = std::max(mark.right, run.right);
    } else {
      marks.push_back(run);
    }
  }
  int32_t largest = 0;
  for (const InkPiece::Run& mark : marks) largest = std::max(largest, mark.Height() * mark.Width());
  marks.erase(std::remove_if(marks.begin(), marks.end(),
                             [&](const InkPiece::Run& m) { return m.Height() * m.Width() * 8 < largest; }),
              marks.end());
  // A mark is small and about as tall as it is wide: not a piece of a segment.
  auto mark_like = [&](const InkPiece::Run& m) {
    return m.Height() <= kMarkHeight * h && m.Height() <= 2.2 * m.Width() && m.Width() <= 2.5 * m.Height();
  };
  auto centre = [&](const InkPiece::Run& m) { return ((m.top + m.bottom) / 2.0 - top) / h; };
  if (marks.size() == 2) {
    const InkPiece::Run& upper = marks[0];
    const InkPiece::Run& lower = marks[1];
    if (!mark_like(upper) || !mark_like(lower)) return std::nullopt;
    const double size = static_cast<double>(std::min(upper.Height() * upper.Width(), lower.Height() * lower.Width())) /
                        std::max(upper.Height() * upper.Width(), lower.Height() * lower.Width());
    const int32_t overlap = std::min(upper.right, lower.right) - std::max(upper.left, lower.left) + 1;
    if (centre(upper) >= 0.1 && centre(upper) <= 0.48 && centre(lower) >= 0.52 && centre(lower) <= 0.9 &&
        size >= 0.35 && 2 * overlap >= std::min(upper.Width(), lower.Width())) {
      return ":";
    }
    return std::nullopt;
  }
  if (marks.size() == 1) {
    const InkPiece::Run& mark = marks[0];
    if (mark_like(mark) && centre(mark) >= 0.72 && mark.bottom >= top + 0.85 * h) return ".";
  }
  return std::nullopt;
}

InkLayout PlaceDigitSlots(const PreparedZone& zone, const std::string& role, std::optional<double> hint,
                          const std::optional<std::string>& detected_separator, ClockFormat format) {
  const cv::Mat& prepared = zone.binary;
  InkLayout out;
  out.picture = prepared;
  out.levels = zone.levels;
  out.ink_from = zone.ink_from;
  out.slots = BuildDigitLayout(role, prepared.cols, prepared.rows, hint, format);
  if (prepared.empty()) return out;
  const std::optional<IndexRun> rows = DigitRows(prepared);
  if (!rows) return out;
  const int32_t top = rows->start;
  const int32_t bottom = rows->end;
  const int32_t digit_height = bottom - top + 1;
  if (digit_height < 8) return out;

  const RoleLayout shape = LayoutOf(role);
  const double slant = EstimateSlant(prepared, top, bottom);
  int32_t offset = 0;
  const cv::Mat upright = ShearUpright(prepared, slant, bottom, offset);
  const cv::Mat upright_levels = zone.levels.empty() ? zone.levels : ShearUpright(zone.levels, slant, bottom, offset);
  const int32_t width = upright.cols;
  const int32_t middle = (top + bottom) / 2;
  auto to_zone = [&](double x) { return x + ShiftOf(slant, bottom, middle) - offset; };
  auto to_upright = [&](double x) { return x - ShiftOf(slant, bottom, middle) + offset; };

  if (shape == RoleLayout::kOneDigit) {
    // One digit fills its zone, read upright; in its cell where the ink shows one digit.
    out.picture = upright;
    out.levels = upright_levels;
    out.slant = slant;
    out.slots = {Slot("digit", 0, 0, width - 1, prepared.rows)};
    out.placed = true;
  }

  const bool clock = shape == RoleLayout::kClock;
  // A point found by detection with ink just above it, where a colon's upper mark stands, may be a
  // colon's lower mark (its upper one then touches a digit): it is read as a colon where the ink
  // lays out as one, and gives no reading where it does not.
  const bool doubtful_point = clock && format == ClockFormat::Auto && detected_separator == "." && hint &&
                              InkAbovePoint(upright, to_upright(*hint), top, bottom);
  out.separator_in_doubt = doubtful_point;

  std::vector<Cell> cells;
  std::optional<std::string> ink_mark;
  // A clock's separator marks as pieces of their own; the digits are then found without them.
  cv::Mat digits_only = upright;
  if (clock) {
    cv::Mat labels;
    const cv::Mat rows_of_digits = upright.rowRange(top, bottom + 1);
    const std::vector<InkComponent> marks_and_digits = InkComponents(rows_of_digits, &labels);
    const double expected = hint ? to_upright(*hint) : width / 2.0;
    if (const std::optional<Marks> marks = FindMarks(marks_and_digits, labels, top, bottom, expected)) {
      ink_mark = marks->shape;
      digits_only = upright.clone();
      cv::Mat digit_rows = digits_only.rowRange(top, bottom + 1);
      for (int32_t index : marks->indices) {
        const cv::Rect& box = marks_and_digits[index].box;
        for (int32_t y = box.y; y < box.y + box.height; ++y) {
          const int32_t* label = labels.ptr<int32_t>(y);
          uchar* ink = digit_rows.ptr<uchar>(y);
          for (int32_t x = box.x; x < box.x + box.width; ++x) {
            if (label[x] == index + 1) ink[x] = 0;
          }
        }
      }
      int32_t mark_top = bottom;
      int32_t mark_bottom = top;
      for (int32_t index : marks->indices) {
        const cv::Rect& box = marks_and_digits[index].box;
        mark_top = std::min(mark_top, top + box.y);
        mark_bottom = std::max(mark_bottom, top + box.y + box.height - 1);
      }
      cells.push_back(Cell{marks->left, marks->right, mark_top, mark_bottom, true});
    }
  }
  for (const InkPiece& piece : FindInkPieces(digits_only, top, bottom)) {
    if (IsSpeck(piece, digit_height)) continue;
    Cell cell{piece.left, piece.right, piece.top, piece.bottom, false};
    if (clock && !ink_mark) {
      // Marks of several LEDs each are no pieces of their own, but a piece of ink between digits.
      if (std::optional<std::string> mark = SeparatorShape(piece, top, bottom)) {
        ink_mark = mark;
        cell.separator = true;
      }
    } else if (clock && SeparatorShape(piece, top, bottom)) {
      return out;  // two separators: the ink does not tell which
    }
    cells.push_back(cell);
  }
  std::stable_sort(cells.begin(), cells.end(), LeftOf);

  if (clock && !ink_mark) {
    if (std::optional<std::pair<std::string, Cell>> cut = CutAttachedMarks(upright, cells, top, bottom, digit_height)) {
      ink_mark = cut->first;
      cells.push_back(cut->second);
      std::stable_sort(cells.begin(), cells.end(), LeftOf);
    }
  }

  // The digit width from the whole digits, measured again once pieces are joined; without one
  // (only 1s, or LED pieces) a narrow digit's. Pieces are joined on no narrower a width than
  // seven-segment digits have: a dim frame leaves pieces narrower than the digit they make.
  double digit_width = DigitWidthOf(upright, cells, digit_height).value_or(kNarrowestDigit * digit_height);
  for (int pass = 0; pass < 3; ++pass) {
    cells = JoinPieces(std::move(cells), std::max(digit_width, kNarrowestDigit * digit_height), digit_height);
    const std::optional<double> measured = DigitWidthOf(upright, cells, digit_height);
    if (!measured || *measured <= digit_width) break;
    digit_width = *measured;
  }

  std::vector<const Cell*> digits;
  const Cell* separator = nullptr;
  for (const Cell& cell : cells) {
    if (cell.separator) {
      separator = &cell;
      continue;
    }
    // Something that does not reach over the digits' rows is no digit: the ink is not understood.
    if (cell.bottom - cell.top + 1 < kDigitSpan * digit_height || cell.Width() > kCellSlack * digit_width + 1) {
      return out;
    }
    digits.push_back(&cell);
  }
  if (digits.empty()) return out;
  // A lone stroke close before a digit may be that digit's left segments, cut off by a dim frame
  // (a faint 8 passes for 13): the ink does not tell. A 1 stands at the right of its cell, a cell
  // gap and more away from the next digit's bars.
  for (size_t i = 0; i + 1 < digits.size(); ++i) {
    const bool stroke = digits[i]->Width() < 0.5 * digit_width;
    if (stroke && digits[i + 1]->left - digits[i]->right - 1 < kStrokeGap * digit_height) return out;
  }

  std::vector<Placed> items;
  Cell between;  // the separator's cell where its marks do not show: it outlives the items
  if (shape == RoleLayout::kOneDigit) {
    if (digits.size() == 1) out.cells = CellsOfDigits({{digits[0], false}}, digits, digit_width);
    return out;
  }
  if (shape == RoleLayout::kTwoDigits) {
    if (digits.size() > 2) return out;
    // A lone digit is the units when it stands in the right half: a blank tens digit.
    if (digits.size() == 1) {
      if (digits[0]->Centre() < width / 2.0) return out;
      items = {{nullptr, false}, {digits[0], false}};
    } else {
      items = {{digits[0], false}, {digits[1], false}};
    }
  } else {
    double split = 0.0;
    if (separator != nullptr) {
      split = separator->Centre();
    } else if (hint) {
      split = to_upright(*hint);
    } else if (digits.size() == 4 && format != ClockFormat::MinutesSeconds) {
      split = (digits[1]->right + digits[2]->left) / 2.0;
    } else if (digits.size() == 3 && format == ClockFormat::MinutesSeconds) {
      split = (digits[0]->right + digits[1]->left) / 2.0;
    } else {
      return out;
    }
    std::vector<const Cell*> left;
    std::vector<const Cell*> right;
    for (const Cell* digit : digits) {
      if (digit->right < split) {
        left.push_back(digit);
      } else if (digit->left > split) {
        right.push_back(digit);
      } else {
        return out;  // a digit across the separator
      }
    }
    // The separator the text is made with: the ink's; else the detected one; else a colon. A set
    // clock format always reads minutes.
    std::string mark = ink_mark.value_or(detected_separator.value_or(":"));
    if (doubtful_point) mark = ":";
    if (format != ClockFormat::Auto) {
      if (mark != ":" && ink_mark) return out;
      mark = ":";
    }
    const size_t seconds = mark == "." ? 1 : 2;
    const size_t minutes = format == ClockFormat::MinutesSeconds ? 1 : 2;
    if (right.size() != seconds || left.empty() || left.size() > minutes) return out;

    // A separator slot between the halves, on its ink when it shows.
    if (separator == nullptr) {
      between.left = left.back()->right + 1;
      between.right = std::max(right.front()->left - 1, between.left);
    }
    const Cell* separator_cell = separator != nullptr ? separator : &between;
    if (minutes == 2 && left.size() == 1) items.push_back({nullptr, false});
    for (const Cell* digit : left) items.push_back({digit, false});
    items.push_back({separator_cell, true});
    for (const Cell* digit : right) items.push_back({digit, false});
    if (mark == ".") items.push_back({nullptr, false});
    if (separator != nullptr) {
      out.separator = ink_mark;
      out.separator_x = to_zone(separator->Centre());
    } else if (doubtful_point) {
      out.separator = ":";
    }
    out.separator_in_doubt = false;
  }

  out.slots = SlotsFor(items, digit_width, width, prepared.rows);
  out.picture = upright;
  out.levels = upright_levels;
  out.slant = slant;
  out.cells = CellsOfDigits(items, digits, digit_width);
  out.placed = true;
  return out;
}

}  // namespace tessvark
