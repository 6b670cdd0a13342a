// The pipe codec: every kind round-trips at its bounds, and every byte string
// a hostile or broken peer could send is refused by both decoders.
#include "service/protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "policy/policy_tables.h"
#include "tests/support/bytes.h"

namespace ventrix {
namespace {

using testing::Bytes;
using testing::le32;
using testing::textBytes;
using testing::operator+;

using Message = std::variant<Request, ServerMessage>;

Bytes encode(const Request& request) { return encodeRequest(request); }
Bytes encode(const ServerMessage& message) { return encodeServerMessage(message); }
Bytes encode(const Message& message) { return std::visit([](const auto& m) { return encode(m); }, message); }
bool decode(const Bytes& bytes, Request& out) { return decodeRequest(bytes.data(), bytes.size(), out); }
bool decode(const Bytes& bytes, ServerMessage& out) { return decodeServerMessage(bytes.data(), bytes.size(), out); }

Bytes le16(std::uint16_t value) { return {std::uint8_t(value), std::uint8_t(value >> 8)}; }
Bytes str(const std::string& text) { return le16(static_cast<std::uint16_t>(text.size())) + textBytes(text); }
Bytes kind(RequestKind value) { return le16(static_cast<std::uint16_t>(value)); }
Bytes kind(ServerKind value) { return le16(static_cast<std::uint16_t>(value)); }
template <typename Enum>
Bytes pastLast(Enum last) { return {std::uint8_t(std::uint8_t(last) + 1)}; }

// A MediaReply whose encoding is exactly `bytes` long (header 12, a row 12 + label).
ServerMessage mediaReplyOfSize(std::size_t bytes) {
    ServerMessage reply{.kind = ServerKind::MediaReply};
    for (std::size_t size = 12; size < bytes;) {
        const std::size_t label = std::min(MaxLabelLength, bytes - size - 12);
        reply.media.push_back({std::string(label, 'L'), 1, 2, false, label % 2 == 0});
        size += 12 + label;
    }
    reply.total = static_cast<std::uint32_t>(reply.media.size());
    return reply;
}

const PolicyStatus someStatus{true, false, 90000, true, false, false, 60, 4000};

struct Good {
    std::string name;
    Message message;
};

std::vector<Good> goodMessages() {
    std::vector<DriveRow> everyDrive;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        everyDrive.push_back({{letter, ':', '\\'}, letter % 2 == 0, letter == 'Z', letter % 3 == 0, letter == 'Y'});
    }
    const std::string longestLabel(MaxLabelLength, 'M');
    const std::string longestPassword(MaxPasswordBytes, 'p'), longestText(MaxNoticeTextBytes, 't');
    using R = RequestKind;
    using S = ServerKind;
    return {
        {"Hello", Request{.kind = R::Hello, .version = ProtocolVersion}},
        {"Status", Request{.kind = R::Status}},
        {"Lock", Request{.kind = R::Lock}},
        {"UnlockForADayWithLongestPassword", Request{.kind = R::Unlock, .password = longestPassword, .minutes = 1440}},
        {"PlainUnlockWithEmptyPassword", Request{.kind = R::Unlock}},
        {"CheckExit", Request{.kind = R::CheckExit, .password = "quillfern"}},
        {"OpenConfigurationWithUtf8", Request{.kind = R::OpenConfiguration, .password = "p\xC3\xA4ss"}},
        {"CloseConfiguration", Request{.kind = R::CloseConfiguration}},
        {"Drives", Request{.kind = R::Drives}},
        {"TrustedMediaFromRow5000", Request{.kind = R::Media, .start = 5000, .list = MediaList::Trusted}},
        {"ToggleDriveZ", Request{.kind = R::ToggleDrive, .root = "Z:\\"}},
        {"PresentMedia", Request{.kind = R::PresentMedia}},
        {"AddMediumFromA", Request{.kind = R::AddMedium, .root = "A:\\"}},
        {"AddMediumReadOnly",
         Request{.kind = R::AddMedium, .list = MediaList::Trusted, .root = "E:\\", .readOnly = true}},
        {"SetDriveReadOnlyOnE", Request{.kind = R::SetDriveReadOnly, .root = "E:\\", .readOnly = true}},
        {"DeleteManagedMediumWithLongestLabel",
         Request{.kind = R::DeleteMedium, .list = MediaList::Trusted, .medium = {longestLabel, 0xFFFFFFFF, 5, true}}},
        {"Apply", Request{.kind = R::Apply}},
        {"ChangePasswordToTheLongest", Request{.kind = R::ChangePassword, .password = "old",
                                               .freshPassword = longestPassword, .confirmPassword = longestPassword}},
        {"DeviceArrivalOnAAndZ", Request{.kind = R::DeviceArrival, .unitMask = 1u | 1u << 25}},
        {"PolicyChanged", Request{.kind = R::PolicyChanged}},
        {"HelloReply", ServerMessage{.kind = S::HelloReply, .version = ProtocolVersion}},
        {"StatusReply", ServerMessage{.kind = S::StatusReply, .status = someStatus}},
        {"Done", ServerMessage{.kind = S::Done}},
        {"PasswordReplyNoAnswer", ServerMessage{.kind = S::PasswordReply, .password = {PasswordOutcome::NoAnswer, 9}}},
        {"DrivesReplyOfAll26", ServerMessage{.kind = S::DrivesReply, .drives = everyDrive}},
        {"MediaReplyMidList", ServerMessage{.kind = S::MediaReply, .total = 5, .start = 3,
                                            .media = {{"", 0, 2, false, true}, {longestLabel, 9, 5, true, true}}}},
        {"MediaReplyPastTheEnd", ServerMessage{.kind = S::MediaReply, .total = 2, .start = 7}},
        {"MediaReplyOfExactlyMaxMessageBytes", mediaReplyOfSize(MaxMessageBytes)},
        {"PresentMediaReply", ServerMessage{.kind = S::PresentMediaReply,
                                            .present = {{"E:\\", "BACKUP", 0x1234ABCD, 2}, {"F:\\", "", 0, 5}}}},
        {"DeleteReplyNotFound", ServerMessage{.kind = S::DeleteReply, .deleted = DeleteOutcome::NotFound}},
        {"ChangeReplyNoAnswer", ServerMessage{.kind = S::ChangeReply, .change = {ChangeOutcome::NoAnswer, 7}}},
        {"RefusedBusy", ServerMessage{.kind = S::Refused, .refused = RefusedReason::Busy}},
        {"StateNotice", ServerMessage{.kind = S::StateNotice, .status = someStatus}},
        {"MessageNoticeOfLongestText", ServerMessage{.kind = S::MessageNotice, .text = longestText,
                                                     .caption = "Ventrix", .boxType = 0x40}},
        {"StoppingNotice", ServerMessage{.kind = S::StoppingNotice}},
    };
}

// Tests show a row by its name, not by its object's bytes.
void PrintTo(const Good& good, std::ostream* out) { *out << good.name; }

class GoodMessage : public ::testing::TestWithParam<Good> {};

TEST_P(GoodMessage, RoundTripsThroughItsDecoder) {
    std::visit(
        [](const auto& message) {
            const Bytes bytes = encode(message);
            EXPECT_LE(bytes.size(), MaxMessageBytes);
            std::remove_cvref_t<decltype(message)> back;
            ASSERT_TRUE(decode(bytes, back));
            EXPECT_TRUE(back == message);
        },
        GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Protocol, GoodMessage, ::testing::ValuesIn(goodMessages()),
                         [](const ::testing::TestParamInfo<Good>& info) { return info.param.name; });

struct Bad {
    std::string name;
    Bytes bytes;
};

std::vector<Bad> badMessages() {
    using R = RequestKind;
    using S = ServerKind;
    const Bytes medium = str("DISC") + le32(1) + le32(2);  // then the managed and read-only flags
    const Bytes list = Bytes{0};
    Bytes drives27 = kind(S::DrivesReply) + le16(27);
    for (int i = 0; i < 27; ++i) drives27 = drives27 + str("E:\\") + Bytes{0, 0, 0, 0};
    const Bytes status = Bytes{1, 1} + le32(0) + Bytes{0, 1, 1} + le32(0) + le32(0);
    std::vector<Bad> bad = {
        {"TrailingByte", kind(R::Lock) + Bytes{0}},
        {"KindZero", kind(RequestKind{0})},
        {"KindAfterTheLastRequest", kind(RequestKind{19})},
        {"KindAfterTheLastReply", kind(ServerKind{0x800B})},
        {"KindAfterTheLastNotice", kind(ServerKind{0xC004})},
        {"HelloWithWrongMagic", kind(R::Hello) + le32(0x58525457) + le16(1)},
        {"UnlockForMoreThanADay", kind(R::Unlock) + str("pw") + le32(1441)},
        {"MediaListPastTheLast", kind(R::Media) + pastLast(MediaList::Trusted) + le32(0)},
        {"PasswordOutcomePastTheLast", kind(S::PasswordReply) + pastLast(PasswordOutcome::NoAnswer) + le32(0)},
        {"DeleteOutcomePastTheLast", kind(S::DeleteReply) + pastLast(DeleteOutcome::NotFound)},
        {"ChangeOutcomePastTheLast", kind(S::ChangeReply) + pastLast(ChangeOutcome::NoAnswer) + le32(0)},
        {"RefusedReasonPastTheLast", kind(S::Refused) + pastLast(RefusedReason::Busy)},
        {"ManagedFlagOf2", kind(R::DeleteMedium) + list + medium + Bytes{2, 0}},
        {"MediumReadOnlyFlagOf2", kind(R::DeleteMedium) + list + medium + Bytes{0, 2}},
        {"SetDriveReadOnlyFlagOf2", kind(R::SetDriveReadOnly) + str("E:\\") + Bytes{2}},
        {"StatusFlagOf2", kind(S::StateNotice) + Bytes{1, 2} + Bytes(status.begin() + 2, status.end())},
        {"DriveLockedOf2", kind(S::DrivesReply) + le16(1) + str("E:\\") + Bytes{2, 0, 0, 0}},
        {"DriveReadOnlyByPolicyOf2", kind(S::DrivesReply) + le16(1) + str("E:\\") + Bytes{0, 0, 0, 2}},
        {"DriveRowOfVersion1", kind(S::DrivesReply) + le16(1) + str("E:\\") + Bytes{1, 0}},
        {"LowerCaseRoot", kind(R::ToggleDrive) + str("e:\\")},
        {"RootWithSlash", kind(R::ToggleDrive) + str("E:/")},
        {"RootOfTwoLetters", kind(R::AddMedium) + list + str("EE:\\") + Bytes{0}},
        {"RootWithoutBackslash", kind(R::ToggleDrive) + str("E:")},
        {"LabelOf260Bytes", kind(R::DeleteMedium) + list + str(std::string(260, 'L')) + le32(1) + le32(2) + Bytes{0, 0}},
        {"LabelWithNul", kind(R::DeleteMedium) + list + str(std::string("DI\0SC", 5)) + le32(1) + le32(2) + Bytes{0, 0}},
        {"PasswordOf1025Bytes", kind(R::CheckExit) + str(std::string(1025, 'p'))},
        {"PasswordWithNul", kind(R::OpenConfiguration) + str(std::string("pa\0ss", 5))},
        {"NoticeTextOf1025Bytes", kind(S::MessageNotice) + str(std::string(1025, 't')) + str("") + le32(0)},
        {"DriveCountAboveWhatFollows", kind(S::DrivesReply) + le16(2) + str("E:\\") + Bytes{1, 0, 0, 0}},
        {"DriveCountOf27", drives27},
        {"MediaCountAboveWhatFollows", kind(S::MediaReply) + le32(9) + le32(0) + le16(2) + medium + Bytes{0, 0}},
        {"MediaRowsPastTheListsEnd", kind(S::MediaReply) + le32(1) + le32(1) + le16(1) + medium + Bytes{0, 0}},
        {"MediaRowOfVersion1", kind(S::MediaReply) + le32(1) + le32(0) + le16(1) + medium + Bytes{0}},
        {"EmptyMediaPageBeforeTheListsEnd", kind(S::MediaReply) + le32(1) + le32(0) + le16(0)},
        {"MessageOfMaxMessageBytesPlusOne", encodeServerMessage(mediaReplyOfSize(MaxMessageBytes + 1))},
        {"UnitMaskOf0", kind(R::DeviceArrival) + le32(0)},
        {"UnitMaskWithBit26", kind(R::DeviceArrival) + le32(1u << 26 | 1u)},
    };
    // Every proper prefix of a few messages with strings, counts and flags.
    const std::vector<std::string> cut{"Hello", "CheckExit", "StatusReply", "PresentMediaReply", "ChangeReplyNoAnswer",
                                       "AddMediumReadOnly", "SetDriveReadOnlyOnE"};
    for (const Good& good : goodMessages()) {
        if (std::find(cut.begin(), cut.end(), good.name) == cut.end()) continue;
        const Bytes whole = encode(good.message);
        for (std::size_t length = 0; length < whole.size(); ++length) {
            bad.push_back({good.name + "CutTo" + std::to_string(length), Bytes(whole.begin(), whole.begin() + length)});
        }
    }
    return bad;
}

void PrintTo(const Bad& bad, std::ostream* out) { *out << bad.name; }

class BadMessage : public ::testing::TestWithParam<Bad> {};

TEST_P(BadMessage, IsRefusedByBothDecoders) {
    Request request;
    ServerMessage message;
    EXPECT_FALSE(decode(GetParam().bytes, request));
    EXPECT_FALSE(decode(GetParam().bytes, message));
}

INSTANTIATE_TEST_SUITE_P(Protocol, BadMessage, ::testing::ValuesIn(badMessages()),
                         [](const ::testing::TestParamInfo<Bad>& info) { return info.param.name; });

TEST(ProtocolMediaPages, TenThousandLongestLabelsComeBackInFullPagesEachRowOnceInOrder) {
    std::vector<MediumRow> all;
    for (std::uint32_t i = 0; i < 10000; ++i) all.push_back({std::string(MaxLabelLength, 'L'), i, 2, i % 7 == 0});
    std::vector<MediumRow> seen;
    while (seen.size() < all.size()) {
        const Bytes page = encodeMediaPage(all, static_cast<std::uint32_t>(seen.size()));
        ASSERT_LE(page.size(), MaxMessageBytes);
        ServerMessage reply;
        ASSERT_TRUE(decode(page, reply));
        ASSERT_EQ(reply.total, all.size());
        ASSERT_EQ(reply.start, seen.size());
        seen.insert(seen.end(), reply.media.begin(), reply.media.end());
        const bool last = seen.size() == all.size();
        EXPECT_TRUE(last || page.size() + 12 + MaxLabelLength > MaxMessageBytes) << "a page with room for another row";
    }
    EXPECT_TRUE(seen == all);
}

}  // namespace
}  // namespace ventrix
