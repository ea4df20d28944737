// The shared table of staged-package machines.
#include "staged_cases.h"


std::string InfText(const std::string& strings_lines, const std::string& signature) {
  return "; staged by the end-to-end tests\r\n"
         "[Version]\r\n"
         "Signature=" + signature + "\r\n"
         "Class=Printer\r\n"
         "Provider=%Provider%\r\n"
         "\r\n"
         "[Manufacturer]\r\n"
         "%Provider%=Models,NTamd64\r\n"
         "\r\n"
         "[Strings]\r\n"
         "Provider=\"Some provider\"\r\n" +
         strings_lines;
}

namespace {

StagedInf Ansi(const std::string& name, const std::string& strings_lines) {
  return {name, InfText(strings_lines)};
}

StagedInf Unicode(const std::string& name, const std::string& strings_lines) {
  return {name, Utf16LeFile(InfText(strings_lines))};
}

StagedInf Locked(StagedInf inf) {
  inf.read_only = true;
  return inf;
}

// A UTF-16LE INF whose rule-1 value holds `value` unit for unit, unpaired surrogates included
// (which no UTF-8 fixture text can say).
StagedInf UnicodeRule1(const std::string& name, std::u16string_view value) {
  const std::string head = InfText("Tamrix_Vessa_Driver_Name=\"");
  std::u16string text(head.begin(), head.end());
  text += value;
  text += u"\"\r\n";
  return {name, Utf16LeFile(text)};
}

const char kRule1[] = "Tamrix_Vessa_Driver_Name=\"Tamrix Vessa 4100\"\r\n";
const char kRule4[] = "Dot4_Name=\"IEEE-1284.4 Driver QLDcor08\"\r\n";

}  // namespace

std::vector<StagedCase> StagedCases() {
  return {
      {"every rule removes its package, and only that",
       Holds::kEverywhere,
       {Ansi("oem11.inf", kRule1),
        Ansi("oem12.inf", "DESCR1=\"Tamrix NXR KLT\"\r\n"),
        Ansi("oem13.inf", "DESCR1=\"Tamrix PNP\"\r\n"),
        Ansi("oem14.inf", kRule4),
        Ansi("oem15.inf", "Dot4Usb_Name=\"USB Bridge Driver for IEEE-1284.4 QLDusb08\"\r\n"),
        Ansi("oem16.inf", "Dot4Par_Name=\"Parallel Port Bridge Driver for IEEE-1284.4\"\r\n"),
        Ansi("oem17.inf", "Dot4Print_Name=\"IEEE-1284.4 Printing Class Driver QLDprn08\"\r\n"),
        Ansi("oem18.inf", "DeviceDesc=\"QLD IEEE-1284.4 Storage Function Driver V8\"\r\n"),
        Ansi("oem19.inf", "DeviceDesc=\"Standard USB Host Controller\"\r\n"),
        Ansi("oem20.inf", "DESCR1=\"Other maker PNP\"\r\n")},
       {"oem11.inf", "oem12.inf", "oem13.inf", "oem14.inf", "oem15.inf", "oem16.inf",
        "oem17.inf", "oem18.inf"},
       0,
       {{"oem11.inf", 1, "Tamrix_Vessa_Driver_Name", "Tamrix Vessa 4100"},
        {"oem12.inf", 2, "DESCR1", "Tamrix NXR KLT"},
        {"oem13.inf", 3, "DESCR1", "Tamrix PNP"},
        {"oem14.inf", 4, "Dot4_Name", "IEEE-1284.4 Driver QLDcor08"},
        {"oem15.inf", 5, "Dot4Usb_Name", "USB Bridge Driver for IEEE-1284.4 QLDusb08"},
        {"oem16.inf", 6, "Dot4Par_Name", "Parallel Port Bridge Driver for IEEE-1284.4"},
        {"oem17.inf", 7, "Dot4Print_Name", "IEEE-1284.4 Printing Class Driver QLDprn08"},
        {"oem18.inf", 8, "DeviceDesc", "QLD IEEE-1284.4 Storage Function Driver V8"}}},
      {"values that differ only in ASCII case match",
       Holds::kEverywhere,
       {Ansi("oem1.inf", "descr1=\"TAMRIX nxr klt\"\r\n"),
        Ansi("oem2.inf", "DOT4PRINT_NAME = ieee-1284.4 printing class driver qldprn08\r\n")},
       {"oem1.inf", "oem2.inf"},
       0,
       {{"oem1.inf", 2, "DESCR1", "TAMRIX nxr klt"},
        {"oem2.inf", 7, "Dot4Print_Name", "ieee-1284.4 printing class driver qldprn08"}}},
      {"near misses are kept",
       Holds::kEverywhere,
       {Ansi("oem1.inf", "DESCR1=\"Tamrix PNP2\"\r\n"),
        Ansi("oem2.inf", "DESCR1=\"Tamrix PN\"\r\n"),
        Ansi("oem3.inf", "Tamrix_Vessa_Driver_Name=\r\n"),
        Ansi("oem4.inf", "DESCR2=\"Tamrix PNP\"\r\n"),
        {"oem5.inf", "[Version]\r\nSignature=\"$Windows NT$\"\r\n[Descriptions]\r\n" +
                         std::string(kRule1)},
        Ansi("oem6.inf", "\r\n[Strings.0407]\r\n" + std::string(kRule1)),
        {"oem7.inf", "[Version]\r\nClass=Printer\r\n[Strings]\r\n" + std::string(kRule1)},
        Ansi("oem8.inf", "Dot4_Name=\"IEEE-1284.4 Driver QLDcor08 \"\r\n")},
       {},
       0,
       {}},
      {"a package matching two rules is removed once",
       Holds::kEverywhere,
       {Ansi("oem3.inf", std::string(kRule1) + kRule4)},
       {"oem3.inf"},
       0,
       {{"oem3.inf", 1, "Tamrix_Vessa_Driver_Name", "Tamrix Vessa 4100"}}},
      {"a locked package fails the run and the others still go",
       Holds::kEverywhere,
       {Ansi("oem1.inf", "DESCR1=\"Tamrix PNP\"\r\n"),
        Locked(Ansi("oem2.inf", "DESCR1=\"Tamrix PNP\"\r\n")),
        Ansi("oem3.inf", "DESCR1=\"Tamrix PNP\"\r\n")},
       {"oem1.inf", "oem3.inf"},
       -1,
       {{"oem1.inf", 3, "DESCR1", "Tamrix PNP"},
        {"oem2.inf", 3, "DESCR1", "Tamrix PNP"},
        {"oem3.inf", 3, "DESCR1", "Tamrix PNP"}}},
      {"UTF-16LE and ANSI files are both read",
       Holds::kEverywhere,
       {Unicode("oem21.inf", "Dot4Usb_Name=\"USB Bridge Driver for IEEE-1284.4 QLDusb08\"\r\n"),
        Unicode("oem22.inf", "Tamrix_Vessa_Driver_Name=\"Vessa \xC3\xB6 \xE6\x97\xA5\"\r\n"),
        Ansi("oem23.inf", "Tamrix_Vessa_Driver_Name=\"Vessa \xF6\"\r\n"),
        Unicode("oem24.inf", "DESCR1=\"Tamrix PNP\xC2\xA0\"\r\n")},
       {"oem21.inf", "oem22.inf", "oem23.inf"},
       0,
       // Rule by rule, as the removal takes them: rule 1's two before rule 5's.
       {{"oem22.inf", 1, "Tamrix_Vessa_Driver_Name", "Vessa \xC3\xB6 \xE6\x97\xA5"},
        {"oem23.inf", 1, "Tamrix_Vessa_Driver_Name", "Vessa \xC3\xB6"},
        {"oem21.inf", 5, "Dot4Usb_Name", "USB Bridge Driver for IEEE-1284.4 QLDusb08"}}},
      // The report's value is the rest of the line, its own TABs included; text that UTF-8
      // cannot carry, an unpaired surrogate, is written as generalized UTF-8 on both builds,
      // by the writer that writes the INF names too.
      {"a value's TABs and unpaired surrogates reach the report",
       Holds::kEverywhere,
       {Ansi("oem31.inf", "Tamrix_Vessa_Driver_Name=\"Vessa\t4100\tSeries\"\r\n"),
        UnicodeRule1("oem32.inf", u"Vessa \xD800 \xDFFF"),
        UnicodeRule1("oem33.inf", u"Vessa \xD801 \xDFFF")},
       {"oem31.inf", "oem32.inf", "oem33.inf"},
       0,
       {{"oem31.inf", 1, "Tamrix_Vessa_Driver_Name", "Vessa\t4100\tSeries"},
        {"oem32.inf", 1, "Tamrix_Vessa_Driver_Name", "Vessa \xED\xA0\x80 \xED\xBF\xBF"},
        {"oem33.inf", 1, "Tamrix_Vessa_Driver_Name", "Vessa \xED\xA0\x81 \xED\xBF\xBF"}}},
      // A Linux file name that is not UTF-8 is written as its own bytes, so that each line names
      // its file; a lossy conversion would print both of these as "tamrix-\xEF\xBF\xBD.inf".
      // (The Windows counterpart, a name with an unpaired surrogate, cannot be staged: Wine 8's
      // CreateFileW fails such a name with ERROR_FILE_NOT_FOUND. The case above takes the same
      // writer through a value.)
      {"names that are not UTF-8 are reported by their bytes",
       Holds::kOnTheStandIn,
       {Ansi("tamrix-\xFF.inf", kRule1), Ansi("tamrix-\xFE.inf", kRule1)},
       {},
       -1,
       {{"tamrix-\xFE.inf", 1, "Tamrix_Vessa_Driver_Name", "Tamrix Vessa 4100"},
        {"tamrix-\xFF.inf", 1, "Tamrix_Vessa_Driver_Name", "Tamrix Vessa 4100"}}},
      // Windows refuses to uninstall an INF that is not an OEM INF; Wine deletes any name.
      {"a matching INF that is not an OEM INF is refused",
       Holds::kOnTheStandIn,
       {Ansi("tamrix.inf", kRule1), Ansi("oem1.inf", kRule1)},
       {"oem1.inf"},
       -1,
       {{"oem1.inf", 1, "Tamrix_Vessa_Driver_Name", "Tamrix Vessa 4100"},
        {"tamrix.inf", 1, "Tamrix_Vessa_Driver_Name", "Tamrix Vessa 4100"}}},
      {"a matching INF that is not an OEM INF is refused",
       Holds::kUnderWine,
       {Ansi("tamrix.inf", kRule1), Ansi("oem1.inf", kRule1)},
       {"tamrix.inf", "oem1.inf"},
       0,
       {{"oem1.inf", 1, "Tamrix_Vessa_Driver_Name", "Tamrix Vessa 4100"},
        {"tamrix.inf", 1, "Tamrix_Vessa_Driver_Name", "Tamrix Vessa 4100"}}},
      // Windows removes the precompiled .pnf with its INF; Wine leaves it.
      {"the .pnf goes with its INF",
       Holds::kOnTheStandIn,
       {Ansi("oem7.inf", kRule4), {"oem7.pnf", "PNF\x01\x02"}, {"oem8.pnf", "PNF\x01\x02"}},
       {"oem7.inf", "oem7.pnf"},
       0,
       {{"oem7.inf", 4, "Dot4_Name", "IEEE-1284.4 Driver QLDcor08"}}},
      {"the .pnf goes with its INF",
       Holds::kUnderWine,
       {Ansi("oem7.inf", kRule4), {"oem7.pnf", "PNF\x01\x02"}, {"oem8.pnf", "PNF\x01\x02"}},
       {"oem7.inf"},
       0,
       {{"oem7.inf", 4, "Dot4_Name", "IEEE-1284.4 Driver QLDcor08"}}},
  };
}

std::vector<CheckLine> ParseCheckReport(const std::string& out) {
  std::vector<CheckLine> lines;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(start, end - start);
    start = end + 1;
    const size_t tab1 = line.find('\t');
    const size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
    const size_t tab3 = tab2 == std::string::npos ? tab2 : line.find('\t', tab2 + 1);
    const std::string rule = tab2 == std::string::npos ? "" : line.substr(tab1 + 1, tab2 - tab1 - 1);
    const bool numeric = !rule.empty() && rule.find_first_not_of("0123456789") == std::string::npos;
    if (tab3 == std::string::npos || !numeric) {
      lines.push_back({line, 0, "", ""});
      continue;
    }
    lines.push_back({line.substr(0, tab1), std::stoi(rule), line.substr(tab2 + 1, tab3 - tab2 - 1),
                     line.substr(tab3 + 1)});
  }
  return lines;
}

void PrintTo(const CheckLine& line, std::ostream* out) {
  *out << '"' << line.inf << "\\t" << line.rule << "\\t" << line.key << "\\t" << line.value << '"';
}
