// The publisher text the build configures, the identity read from it and the name text it is
// rendered to, and the serial number of the stale intermediate. A text the parser takes for
// another, or an identity that passes as complete without one of its six attributes, would let
// the identity check compare against less than the publisher.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "sharedlib/trust_identity.h"

namespace {

using sharedlib::PublisherIdentity;

PublisherIdentity Full() {
  PublisherIdentity identity;
  identity.commonName = L"Quorvex Code Signing";
  identity.organisationalUnit = L"Release";
  identity.organisation = L"Quorvex";
  identity.locality = L"Springfield";
  identity.state = L"Oregon";
  identity.country = L"US";
  return identity;
}

PublisherIdentity Without(std::wstring PublisherIdentity::*field) {
  PublisherIdentity identity = Full();
  identity.*field = std::wstring();
  return identity;
}

struct ParseCase {
  const char* name;
  const wchar_t* text;
  std::optional<PublisherIdentity> parsed;  // none: the text is refused
  bool complete;
};

void PrintTo(const ParseCase& parseCase, std::ostream* out) { *out << parseCase.name; }

class PublisherText : public ::testing::TestWithParam<ParseCase> {};

TEST_P(PublisherText, ParsesIntoTheSixAttributesOrIsRefused) {
  PublisherIdentity identity;
  identity.commonName = L"untouched";
  const bool parsed = sharedlib::ParsePublisherIdentity(GetParam().text, identity);
  ASSERT_EQ(parsed, GetParam().parsed.has_value());
  if (!parsed) {
    EXPECT_EQ(identity.commonName, L"untouched");
    EXPECT_TRUE(identity.organisation.empty());
    return;
  }
  const PublisherIdentity& expected = *GetParam().parsed;
  EXPECT_EQ(identity.commonName, expected.commonName);
  EXPECT_EQ(identity.organisationalUnit, expected.organisationalUnit);
  EXPECT_EQ(identity.organisation, expected.organisation);
  EXPECT_EQ(identity.locality, expected.locality);
  EXPECT_EQ(identity.state, expected.state);
  EXPECT_EQ(identity.country, expected.country);
  EXPECT_EQ(identity.complete(), GetParam().complete);
}

constexpr wchar_t kFullText[] =
    L"CN=Quorvex Code Signing;OU=Release;O=Quorvex;L=Springfield;ST=Oregon;C=US";

INSTANTIATE_TEST_SUITE_P(
    Texts, PublisherText,
    ::testing::Values(
        ParseCase{"AllSix", kFullText, Full(), true},
        ParseCase{"AnyOrderAnyCaseBlanksAndSForST",
                  L" c = US ;s=Oregon; l=Springfield ;o=Quorvex;ou=Release;cn=Quorvex Code "
                  L"Signing;",
                  Full(), true},
        // Each attribute left out: the text parses, the identity is not complete.
        ParseCase{"NoCommonName", L"OU=Release;O=Quorvex;L=Springfield;ST=Oregon;C=US",
                  Without(&PublisherIdentity::commonName), false},
        ParseCase{"NoUnit", L"CN=Quorvex Code Signing;O=Quorvex;L=Springfield;ST=Oregon;C=US",
                  Without(&PublisherIdentity::organisationalUnit), false},
        ParseCase{"NoOrganisation",
                  L"CN=Quorvex Code Signing;OU=Release;L=Springfield;ST=Oregon;C=US",
                  Without(&PublisherIdentity::organisation), false},
        ParseCase{"NoLocality", L"CN=Quorvex Code Signing;OU=Release;O=Quorvex;ST=Oregon;C=US",
                  Without(&PublisherIdentity::locality), false},
        ParseCase{"NoState", L"CN=Quorvex Code Signing;OU=Release;O=Quorvex;L=Springfield;C=US",
                  Without(&PublisherIdentity::state), false},
        ParseCase{"NoCountry",
                  L"CN=Quorvex Code Signing;OU=Release;O=Quorvex;L=Springfield;ST=Oregon",
                  Without(&PublisherIdentity::country), false},
        // Refused: an attribute named twice (S and ST are one), an unknown key, a part without
        // "=", an empty value.
        ParseCase{"CommonNameTwice", L"CN=Other;CN=Quorvex Code Signing;OU=Release", std::nullopt,
                  false},
        ParseCase{"StateAsSAndST", L"ST=Oregon;S=Idaho;C=US", std::nullopt, false},
        ParseCase{"UnknownKey", L"CN=Quorvex Code Signing;E=sign@quorvex.example", std::nullopt,
                  false},
        ParseCase{"PartWithoutEquals", L"CN=Quorvex Code Signing;Release", std::nullopt, false},
        ParseCase{"EmptyValue", L"CN=;OU=Release", std::nullopt, false}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return info.param.name; });

TEST(PublisherNameText, RendersTheSixAsTheSystemRendersASubjectQuotingWhatNeedsIt) {
  EXPECT_EQ(sharedlib::PublisherNameText(Full()),
            L"CN=Quorvex Code Signing, OU=Release, O=Quorvex, L=Springfield, S=Oregon, C=US");
  PublisherIdentity quoted = Full();
  quoted.organisation = L"Quorvex, Inc.";
  quoted.organisationalUnit = L"Say \"Release\"";
  quoted.locality = L" Springfield";
  EXPECT_EQ(sharedlib::PublisherNameText(quoted),
            L"CN=Quorvex Code Signing, OU=\"Say \"\"Release\"\"\", O=\"Quorvex, Inc.\", "
            L"L=\" Springfield\", S=Oregon, C=US");
}

TEST(StaleSerial, HexTextIsReadIntoTheLittleEndianBlobOrRefused) {
  EXPECT_EQ(sharedlib::SerialBlobFromHex("0A1b2C"), (std::vector<BYTE>{0x2C, 0x1B, 0x0A}));
  EXPECT_TRUE(sharedlib::SerialBlobFromHex("0A1").empty());
  EXPECT_TRUE(sharedlib::SerialBlobFromHex("0G").empty());
  EXPECT_TRUE(sharedlib::SerialBlobFromHex(nullptr).empty());
}

}  // namespace
