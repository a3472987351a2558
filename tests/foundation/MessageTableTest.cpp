// The library's string table: every id, the texts that are easy to get wrong word for word,
// the fallback for a missing id.
#include <gtest/gtest.h>

#include "foundation/Messages.h"

namespace
{
struct SExpectedMessage { UINT id; const wchar_t* text; };

// The texts whose irregularities (double blanks, blanks at the end, missing blanks or full
// stops, typos) a retyped table would lose; the others follow the same resource.
const SExpectedMessage kIrregular[] = {
    {101, L"Cannot connect to the host's administrative share. Host:  [%1]. Account: [%2]."},
    {102, L"Cannot destroy existing LAN manager connections to the specified host.Host: [%1]."},
    {109, L"Cannot upload guest agent's files to the administrative share  [%1]."},
    {116, L"The network share [%1] was already mapped to a local device. "},
    {118, L"Checking whether network connection [%1] should be cancelled. "},
    {123, L"Cannot create an instance of the COM [%1] coclass ."},
    {126, L"Cannot create RPC binding handle by the string representation of a binding handle. Binding string: [%1]. "},
    {127, L"Collecting guest  metrics."},
    {142, L"Guest OS version: [%1.%2]"},
    {148, L"Guest's OS is not supported. OS: [%]."},
    {182, L"Delivering a control message to the remote console. Target machine: [%1]. "},
    {201, L"Remote console reported that an error occured. Target machine: [%1]."},
    {232, L"Cannot delivery data to an agent managed by the remote console server. Target machine: [%1]. Data: [%2]."},
    {245, L"Guest agent control version info"},
};

// Ids 100 to 246 and no others; a missing id falls back to a text that shows four arguments.
TEST(MessageTable, EveryIdFrom100To246IsThereIrregularTextsAreKeptAndOthersFallBack)
{
    for (UINT id = 0; id < 1000; ++id)
    {
        bool found = false;
        LoadMessage(id, &found);
        EXPECT_EQ(found, id >= 100 && id <= 246) << "message " << id;
    }
    for (const SExpectedMessage& m : kIrregular)
        EXPECT_EQ(std::wstring(m.text), LoadMessage(m.id)) << "message " << m.id;
    EXPECT_EQ(L"Cannot load a string from the strings table. String ID: 999Arguments: %1, %2, %3, %4.", LoadMessage(999));
    EXPECT_EQ(L"Connecting to a remote host. Host: [guest1]. Specified account: [DOM\\admin].",
              MsgText(115, L"guest1", std::wstring(L"DOM\\admin")));
    EXPECT_EQ(L"Guest OS version: [5.2]", MsgText(142, L"5", L"2"));
    // The "[%]" of message 148 is not a placeholder.
    EXPECT_EQ(L"Guest's OS is not supported. OS: [%].", MsgText(148, L"Windows"));
    EXPECT_EQ(L"Cannot load a string from the strings table. String ID: 999Arguments: a, b, %3, %4.", MsgText(999, L"a", L"b"));
}
}
