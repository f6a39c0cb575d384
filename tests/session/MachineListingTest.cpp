#include <gtest/gtest.h>

#include "config/UserAccounts.h"
#include "session/Commands.h"
#include "session/MachineListing.h"
#include "session/StatusTexts.h"

namespace {
constexpr uint32_t kAll = RightsWrite | RightsOverwrite | RightsDelete | RightsRename;
}

TEST(MachineListing, FactsLineKeepsTheOfferedOrderAndLeavesOutWhatIsUnknownOrMeaningless) {
    EntryFacts file{EntryType::File, 6, 1765267200, "adfrw"};  // 2025-12-09 08:00:00 UTC
    EXPECT_EQ(FactsLine(file, FACT_ALL, "a b.txt"),
              "type=file;size=6;modify=20251209080000;perm=adfrw; a b.txt");
    EXPECT_EQ(FactsLine(file, FACT_PERM | FACT_SIZE, "x"), "size=6;perm=adfrw; x");
    EXPECT_EQ(FactsLine(file, 0, "x"), " x");
    // A folder's size says nothing; a time not known is no fact.
    EntryFacts folder{EntryType::ListedDir, 4096, -1, "el"};
    EXPECT_EQ(FactsLine(folder, FACT_ALL, "."), "type=cdir;perm=el; .");
    folder.type = EntryType::ParentDir;
    EXPECT_EQ(FactsLine(folder, FACT_TYPE, ".."), "type=pdir; ..");
    folder.type = EntryType::Dir;
    folder.modified = 0;
    EXPECT_EQ(FactsLine(folder, FACT_MODIFY | FACT_TYPE, "d"), "type=dir;modify=19700101000000; d");
}

TEST(MachineListing, PermSaysWhatTheRightsAllowAndTheReadOnlyFlagKeeps) {
    EXPECT_EQ(PermFacts(false, false, false, kAll), "adfrw");
    EXPECT_EQ(PermFacts(false, true, false, kAll), "dfr");
    EXPECT_EQ(PermFacts(false, false, false, RightsWrite), "r") << "replacing needs overwrite";
    EXPECT_EQ(PermFacts(false, false, false, 0), "r");
    EXPECT_EQ(PermFacts(true, false, false, kAll), "cdeflm");
    EXPECT_EQ(PermFacts(true, true, false, kAll), "defl");
    EXPECT_EQ(PermFacts(true, false, false, 0), "el");
    EXPECT_EQ(PermFacts(true, false, true, kAll), "el") << "the virtual root only lists";
}

TEST(MachineListing, TheChoiceOfFactsIsReadWithoutRegardToCaseAndConfirmedInOrder) {
    EXPECT_EQ(ParseFactChoice("Size;TYPE;bogus;"), FACT_SIZE | FACT_TYPE);
    EXPECT_EQ(ParseFactChoice("perm"), FACT_PERM);
    EXPECT_EQ(ParseFactChoice(""), 0u);
    EXPECT_EQ(ParseFactChoice(";;modify;;"), FACT_MODIFY);
    EXPECT_EQ(ParseFactChoice("size ;type"), FACT_TYPE) << "a fact name holds no blank";
    EXPECT_EQ(ChosenFacts(FACT_PERM | FACT_TYPE), "type;perm;");
    EXPECT_EQ(ChosenFacts(0), "");
    EXPECT_EQ(OfferedFacts(FACT_ALL), "type*;size*;modify*;perm*;");
    EXPECT_EQ(OfferedFacts(FACT_SIZE), "type;size*;modify;perm;");
}

TEST(MachineListing, CommandsFeatAndHelpKnowTheTwoCommandsOnlyWhenAsked) {
    EXPECT_EQ(LookupCommand("MLSD /pub"), 0u);
    EXPECT_EQ(LookupCommand("mlst"), 0u);
    EXPECT_EQ(LookupCommand("mlsd /pub", true), CMD_MLSD);
    EXPECT_EQ(LookupCommand("M-LST", true), CMD_MLST);
    EXPECT_EQ(LookupCommand("LIST", true), CMD_LIST);

    EXPECT_EQ(HelpBlock(false), HelpBlock());
    EXPECT_EQ(HelpBlock(false).find("MLS"), std::string::npos);
    std::string help = HelpBlock(true);
    EXPECT_EQ(help.substr(help.rfind("\r\n")), "\r\n EPRT\tEPSV\tHELP\tNOOP\tQUIT\tMLSD\tMLST");
    EXPECT_EQ(SyntaxOf(CMD_MLST), "MLST [<sp> pathname]");

    EXPECT_EQ(FeatureBlock(true), FeatureBlock(true, std::nullopt));
    EXPECT_EQ(FeatureBlock(false).find("MLST"), std::string::npos);
    std::string feat = FeatureBlock(false, FACT_ALL);
    EXPECT_EQ(feat.substr(feat.find(" CCC ")),
              " CCC \r\n MLST type*;size*;modify*;perm*;\r\n TVFS");
}
