// The string table compiled into the library, the Windows resource script generated from the
// same source, and the rule that picks the user's language from the POSIX locale variables.
#include "component/resources/string_table.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fake_platform.hpp"

namespace cobaltmoth {
namespace {

using strings::kEnglish;
using strings::kItalian;
using testing::U8;

struct Golden {
  std::int16_t id;
  std::u16string english;
  std::u16string italian;
};

// Every text as the product shows it, odd grammar included.
const std::vector<Golden>& GoldenTable() {
  static const std::vector<Golden> table = {
      {101,
       u"An unexpected error happens during the application's use. Owing to this, the program "
       u"would be ended and some data would be lost.",
       u"Si e' verificato un errore non previsto durante l'utilizzo della procedura. A causa di "
       u"cio' il programma potrebbe terminare in modo non previsto e alcuni dati potrebbero "
       u"andare persi."},
      {102, u"For solving this problem you can send this report using fax or e-mail to:",
       u"Per una soluzione al problema potete inviare il report sopra generato per e-mail o per "
       u"fax alle seguenti coordinate:"},
      {103, u"Fax Support:", u"Supporto via fax:"},
      {104, u"E-Mail Support:", u"Supporto via e-mail:"},
      {201, u"Copy to Clipboard", u"Copia"},
      {202, u"Print Report", u"Stampa"},
      {203, u"Send E-Mail", u"Prepara E-mail"},
      {299, u"Close", u"Chiudi"},
      {1001, u"+44 20 7946 0381", u"+44 20 7946 0381"},
      {1002, u"cobaltmoth-support@example.com", u"cobaltmoth-support@example.com"},
      {1003,
       u"Report is copied to clipboard. It's now possible paste the report in another "
       u"application using the classical command PASTE or CTRL-V",
       u"Il report è stato copiato nella clipboard. E' ora possibile incorrare il testo del "
       u"report in un'altra applicazione con il classico INCOLLA o CTRL-V"},
      {5001,
       u"This event is a critical error. Application will be terminated. Sorry for this problem "
       u"but some of your unsaved data would be lost.",
       u"L'evento occorso è un problema critico per l'applicazione che dovrà essere terminata. "
       u"Siamo spiacenti per l'inconveniente ma alcuni dati non salvati potrebbero andare "
       u"persi."},
      {5002, u"This error was logged to file",
       u"Ulteriori informazioni circa questo errore sono state registrate nel file:"},
      {5003,
       u". If this problem persists, please report this log file to program support addresses "
       u"support addresses available in the About menù of main program.",
       u". Se questo problema dovesse persistere, potete inviare il contenuto di questo file ad "
       u"uno degli indirizzi presenti nel menù About nel programma principale."},
      {10001, u"Unexpected error", u"Errore non previsto"},
      {10002, u"<Enter you e-mail address>", u"<Aggiungi il tuo indirizzo e-mail>"},
  };
  return table;
}

TEST(StringTable, HoldsEveryTextInBothLanguagesExactly) {
  const auto entries = strings::Entries();
  ASSERT_EQ(entries.size(), GoldenTable().size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Golden& want = GoldenTable()[i];
    SCOPED_TRACE(want.id);
    EXPECT_EQ(entries[i].id, want.id);
    EXPECT_EQ(U8(entries[i].english), U8(want.english));
    EXPECT_EQ(U8(entries[i].italian), U8(want.italian));
    EXPECT_EQ(entries[i].english, want.english);  // code unit for code unit
    EXPECT_EQ(entries[i].italian, want.italian);
    EXPECT_EQ(strings::Find(want.id, kEnglish), want.english);
    EXPECT_EQ(strings::Find(want.id, kItalian), want.italian);
  }
}

TEST(StringTable, AccentedLettersAreSingleLatin1CodeUnits) {
  const std::u16string_view copied = *strings::Find(1003, kItalian);
  EXPECT_EQ(copied.substr(0, 12), u"Il report \u00E8 ");
  EXPECT_EQ(copied.size(), 147u);  // è is one code unit
  const std::u16string_view critical = *strings::Find(5001, kItalian);
  EXPECT_EQ(critical[17], u'\u00E8');
  EXPECT_EQ(critical.substr(critical.find(u"dovr"), 5), u"dovr\u00E0");
  const std::u16string_view persists_en = *strings::Find(5003, kEnglish);
  EXPECT_EQ(persists_en.substr(persists_en.find(u"About ") + 6, 5), u"men\u00F9 ");
  const std::u16string_view persists_it = *strings::Find(5003, kItalian);
  EXPECT_NE(persists_it.find(u"nel men\u00F9 About"), std::u16string_view::npos);
}

TEST(StringTable, TextsAreSingleLinesWithStraightQuotesAndNoTrailingBlank) {
  for (const auto& entry : strings::Entries()) {
    for (const std::u16string_view text : {entry.english, entry.italian}) {
      SCOPED_TRACE(U8(text));
      ASSERT_FALSE(text.empty());
      EXPECT_NE(text.back(), u' ');
      EXPECT_EQ(text.find_first_of(u"\r\n\t"), std::u16string_view::npos);
      EXPECT_EQ(text.find_first_of(u"\u2018\u2019\u201C\u201D"), std::u16string_view::npos);
      for (const char16_t unit : text) EXPECT_LT(unit, 0x100) << "beyond Latin-1";
    }
  }
  // The apostrophes are ASCII 0x27 where the product writes them.
  EXPECT_EQ((*strings::Find(101, kItalian))[4], u'\x27');
  EXPECT_EQ((*strings::Find(1003, kEnglish)).substr(31, 4), u"It's");
}

TEST(StringTable, SupportAddressesAreTheSameInBothLanguagesAndOtherTextsAreTranslated) {
  for (const auto& entry : strings::Entries()) {
    SCOPED_TRACE(entry.id);
    if (entry.id == 1001 || entry.id == 1002) {
      EXPECT_EQ(entry.english, entry.italian);
    } else {
      EXPECT_NE(entry.english, entry.italian);
    }
  }
  EXPECT_NE(strings::Find(1002, kEnglish)->find(u'@'), std::u16string_view::npos);
}

TEST(StringTable, AnyLanguageButItalianReadsEnglish) {
  EXPECT_EQ(strings::Find(299, 1031), u"Close");  // German
  EXPECT_EQ(strings::Find(299, 0), u"Close");
  EXPECT_EQ(strings::Find(299, 2064), u"Close");  // Italian (Switzerland) is not 1040
  EXPECT_EQ(strings::Find(299, 1040), u"Chiudi");
}

TEST(StringTable, IdsOutsideTheTableAreNotFound) {
  for (const std::int16_t id : {0, 1, 100, 105, 200, 204, 298, 300, 1000, 1004, 5000, 5004,
                                10000, 10003, 32767, -1, -32768}) {
    SCOPED_TRACE(id);
    EXPECT_FALSE(strings::Find(id, kEnglish).has_value());
    EXPECT_FALSE(strings::Find(id, kItalian).has_value());
  }
}

// --- The user's language from LC_ALL, LC_MESSAGES and LANG. ----------------------------------

struct LocaleCase {
  const char* lc_all;
  const char* lc_messages;
  const char* lang;
  std::int32_t language;
};

TEST(LanguageFromLocale, FirstNonEmptyOfLcAllLcMessagesLangDecides) {
  const LocaleCase cases[] = {
      {"", "", "", kEnglish},                         // nothing set
      {"it", "", "", kItalian},
      {"it_IT", "", "", kItalian},
      {"it_CH.UTF-8", "", "", kItalian},
      {"", "it_IT.UTF-8", "", kItalian},
      {"", "", "it_IT@euro", kItalian},
      {"en_US", "", "", kEnglish},
      {"C", "", "", kEnglish},
      {"", "", "C.UTF-8", kEnglish},
      {"", "", "POSIX", kEnglish},
      {"", "", "fr_IT.UTF-8", kEnglish},             // Italy, but French
      {"", "", "i", kEnglish},
      {"en_US.UTF-8", "it_IT", "it_IT", kEnglish},   // LC_ALL over the others
      {"it_IT", "en_US", "en_US", kItalian},
      {"", "en_GB", "it_IT", kEnglish},              // LC_MESSAGES over LANG
      {"", "it_IT", "en_GB", kItalian},
      {"C", "it_IT", "it_IT", kEnglish},             // "C" is a value, not a blank
  };
  for (const LocaleCase& c : cases) {
    SCOPED_TRACE(std::string(c.lc_all) + " | " + c.lc_messages + " | " + c.lang);
    EXPECT_EQ(strings::LanguageFromLocale(c.lc_all, c.lc_messages, c.lang), c.language);
  }
}

// --- The Windows resource script generated from the same source. -----------------------------

// Reads the STRINGTABLEs of a resource script: `LANGUAGE primary, sub` chooses the language of
// the tables after it; each line between BEGIN and END is `id, L"text"`, where "" is a quote,
// \\ a backslash and \xXXXX one UTF-16 code unit. Returns {language id: {string id: text}}.
std::map<int, std::map<int, std::u16string>> ReadStringTables(const std::string& script) {
  std::map<int, std::map<int, std::u16string>> tables;
  std::istringstream lines(script);
  std::string line;
  int language = -1;
  bool in_table = false;
  while (std::getline(lines, line)) {
    if (line.empty() || line.starts_with("//")) continue;
    if (line.starts_with("LANGUAGE ")) {
      int primary = 0, sub = 0;
      EXPECT_EQ(std::sscanf(line.c_str(), "LANGUAGE %d, %d", &primary, &sub), 2) << line;
      language = sub << 10 | primary;  // MAKELANGID
    } else if (line == "STRINGTABLE") {
      continue;
    } else if (line == "BEGIN") {
      in_table = true;
    } else if (line == "END") {
      in_table = false;
    } else {
      EXPECT_TRUE(in_table) << line;
      std::size_t at = line.find_first_not_of(' ');
      const std::size_t comma = line.find(", L\"", at);
      if (comma == std::string::npos || line.back() != '"') {
        ADD_FAILURE() << "not a string line: " << line;
        continue;
      }
      const int id = std::stoi(line.substr(at, comma - at));
      std::u16string text;
      for (std::size_t i = comma + 4; i + 1 < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') {
          EXPECT_EQ(line[i + 1], '"') << "a lone quote in " << line;
          text += u'"';
          ++i;
        } else if (c == '\\' && line[i + 1] == '\\') {
          text += u'\\';
          ++i;
        } else if (c == '\\' && line[i + 1] == 'x') {
          text += static_cast<char16_t>(std::stoi(line.substr(i + 2, 4), nullptr, 16));
          i += 5;
        } else {
          EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "a byte beyond ASCII in " << line;
          text += static_cast<char16_t>(c);
        }
      }
      EXPECT_TRUE(tables[language].emplace(id, text).second) << "id twice: " << id;
    }
  }
  return tables;
}

TEST(StringsRc, HoldsTheCompiledInTableInEnglishAndItalian) {
  std::ifstream file(COBALTMOTH_SOURCE_DIR "/component/resources/strings.rc", std::ios::binary);
  ASSERT_TRUE(file) << "component/resources/strings.rc is missing";
  std::stringstream script;
  script << file.rdbuf();
  const auto tables = ReadStringTables(script.str());

  ASSERT_EQ(tables.size(), 2u);
  ASSERT_EQ(tables.count(1033), 1u) << "no LANGUAGE 9, 1 table";
  ASSERT_EQ(tables.count(1040), 1u) << "no LANGUAGE 16, 1 table";
  const auto& english = tables.at(1033);
  const auto& italian = tables.at(1040);
  std::set<int> ids;
  for (const auto& entry : strings::Entries()) {
    SCOPED_TRACE(entry.id);
    ids.insert(entry.id);
    ASSERT_EQ(english.count(entry.id), 1u);
    ASSERT_EQ(italian.count(entry.id), 1u);
    EXPECT_EQ(english.at(entry.id), entry.english);
    EXPECT_EQ(italian.at(entry.id), entry.italian);
  }
  EXPECT_EQ(english.size(), ids.size());
  EXPECT_EQ(italian.size(), ids.size());
}

}  // namespace
}  // namespace cobaltmoth
