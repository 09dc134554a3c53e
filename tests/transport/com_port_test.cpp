// TComPort without a device: the device-control record, time-outs, flow
// control, event and error mappings, setter rules and the error texts.
#include "transport/com_port.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vela {
namespace {

using platform::DeviceControl;

// The configuration the command channel makes.
void ConfigureLikeChannel(TComPort& port) {
  port.Parity().SetBits(prNone);
  port.SetStopBits(sbOneStopBit);
  port.SetDataBits(dbEight);
  port.SetEvents(TComEvents{evRxChar, evTxEmpty});
  port.Buffer().SetInputSize(4096);
  port.Buffer().SetOutputSize(2048);
  port.FlowControl().SetOutCTSFlow(false);
  port.FlowControl().SetOutDSRFlow(false);
  port.FlowControl().SetControlDTR(dtrDisable);
  port.FlowControl().SetControlRTS(rtsEnable);
  port.FlowControl().SetXonXoffOut(false);
  port.FlowControl().SetXonXoffIn(false);
  port.SetSyncMethod(smWindowSync);
}

TEST(ComPortDefaults, MatchTheComponentDefaults) {
  TComPort port;
  EXPECT_EQ(port.Port(), "COM1");
  EXPECT_EQ(port.BaudRate(), br9600);
  EXPECT_EQ(port.CustomBaudRate(), 9600);
  EXPECT_EQ(port.DataBits(), dbEight);
  EXPECT_EQ(port.StopBits(), sbOneStopBit);
  EXPECT_EQ(port.Parity().Bits(), prNone);
  EXPECT_EQ(port.FlowControl().XonChar(), 17);
  EXPECT_EQ(port.FlowControl().XoffChar(), 19);
  EXPECT_EQ(port.FlowControl().FlowControl(), fcNone);
  EXPECT_EQ(port.Timeouts().ReadInterval(), -1);
  EXPECT_EQ(port.Timeouts().WriteTotalMultiplier(), 100);
  EXPECT_EQ(port.Timeouts().WriteTotalConstant(), 1000);
  EXPECT_EQ(port.Buffer().InputSize(), 1024);
  EXPECT_EQ(port.Buffer().OutputSize(), 1024);
  EXPECT_EQ(port.Events(), TComEvents::All());
  EXPECT_EQ(port.SyncMethod(), smThreadSync);
  EXPECT_FALSE(port.Connected());
}

TEST(DeviceControlRecord, ChannelConfiguration) {
  TComPort port;
  ConfigureLikeChannel(port);
  const DeviceControl dcb = port.BuildDeviceControl();
  EXPECT_EQ(dcb.length, 28u);
  EXPECT_EQ(dcb.baud_rate, 9600u);
  EXPECT_EQ(dcb.flags, 0x1001u);
  EXPECT_EQ(dcb.xon_limit, 1024);
  EXPECT_EQ(dcb.xoff_limit, 1024);
  EXPECT_EQ(dcb.byte_size, 8);
  EXPECT_EQ(dcb.parity, 0);
  EXPECT_EQ(dcb.stop_bits, 0);
  EXPECT_EQ(dcb.xon_char, 17);
  EXPECT_EQ(dcb.xoff_char, 19);
  EXPECT_EQ(dcb.error_char, 0);
  EXPECT_EQ(dcb.eof_char, 0);
  EXPECT_EQ(dcb.event_char, 0);
}

TEST(DeviceControlRecord, EachSettingSetsItsFlag) {
  struct Case {
    const char* name;
    void (*apply)(TComPort&);
    uint32_t flags;  // on top of binary mode
  } cases[] = {
      {"parity check", [](TComPort& p) { p.Parity().SetCheck(true); }, 0x0002},
      {"replace without check", [](TComPort& p) { p.Parity().SetReplace(true); }, 0x0000},
      {"check and replace",
       [](TComPort& p) {
         p.Parity().SetCheck(true);
         p.Parity().SetReplace(true);
       },
       0x0402},
      {"CTS flow", [](TComPort& p) { p.FlowControl().SetOutCTSFlow(true); }, 0x0004},
      {"DSR flow", [](TComPort& p) { p.FlowControl().SetOutDSRFlow(true); }, 0x0008},
      {"DTR enable", [](TComPort& p) { p.FlowControl().SetControlDTR(dtrEnable); }, 0x0010},
      {"DTR handshake", [](TComPort& p) { p.FlowControl().SetControlDTR(dtrHandshake); }, 0x0020},
      {"DSR sensitivity", [](TComPort& p) { p.FlowControl().SetDSRSensitivity(true); }, 0x0040},
      {"TX continue on XOFF", [](TComPort& p) { p.FlowControl().SetTxContinueOnXoff(true); }, 0x0080},
      {"XON/XOFF out", [](TComPort& p) { p.FlowControl().SetXonXoffOut(true); }, 0x0100},
      {"XON/XOFF in", [](TComPort& p) { p.FlowControl().SetXonXoffIn(true); }, 0x0200},
      {"discard null", [](TComPort& p) { p.SetDiscardNull(true); }, 0x0800},
      {"RTS enable", [](TComPort& p) { p.FlowControl().SetControlRTS(rtsEnable); }, 0x1000},
      {"RTS handshake", [](TComPort& p) { p.FlowControl().SetControlRTS(rtsHandshake); }, 0x2000},
      {"RTS toggle", [](TComPort& p) { p.FlowControl().SetControlRTS(rtsToggle); }, 0x3000},
  };
  for (const Case& c : cases) {
    TComPort port;
    c.apply(port);
    EXPECT_EQ(port.BuildDeviceControl().flags, 0x0001u | c.flags) << c.name;
  }
}

TEST(DeviceControlRecord, CharactersSizesParityStopBits) {
  TComPort port;
  port.Parity().SetReplaceChar('?');
  EXPECT_EQ(port.BuildDeviceControl().error_char, 0);  // replacement off
  port.Parity().SetCheck(true);
  port.Parity().SetReplace(true);
  port.SetEventChar('\n');
  port.FlowControl().SetXonChar(1);
  port.FlowControl().SetXoffChar(2);
  port.SetDataBits(dbSeven);
  port.Parity().SetBits(prMark);
  port.SetStopBits(sbTwoStopBits);
  DeviceControl dcb = port.BuildDeviceControl();
  EXPECT_EQ(dcb.error_char, '?');
  EXPECT_EQ(dcb.event_char, '\n');
  EXPECT_EQ(dcb.xon_char, 1);
  EXPECT_EQ(dcb.xoff_char, 2);
  EXPECT_EQ(dcb.byte_size, 7);
  EXPECT_EQ(dcb.parity, 3);
  EXPECT_EQ(dcb.stop_bits, 2);
  port.SetDataBits(dbFive);
  port.Parity().SetBits(prSpace);
  port.SetStopBits(sbOne5StopBits);
  dcb = port.BuildDeviceControl();
  EXPECT_EQ(dcb.byte_size, 5);
  EXPECT_EQ(dcb.parity, 4);
  EXPECT_EQ(dcb.stop_bits, 1);
}

TEST(DeviceControlRecord, RatesAndLimits) {
  struct Case {
    TBaudRate rate;
    uint32_t bps;
  } cases[] = {{br110, 110},     {br300, 300},     {br600, 600},       {br1200, 1200},     {br2400, 2400},
               {br4800, 4800},   {br9600, 9600},   {br14400, 14400},   {br19200, 19200},   {br38400, 38400},
               {br56000, 56000}, {br57600, 57600}, {br115200, 115200}, {br128000, 128000}, {br256000, 256000}};
  for (const Case& c : cases) {
    TComPort port;
    port.SetBaudRate(c.rate);
    EXPECT_EQ(port.BuildDeviceControl().baud_rate, c.bps) << c.bps;
  }
  TComPort port;
  port.SetCustomBaudRate(31250);
  EXPECT_EQ(port.BuildDeviceControl().baud_rate, 9600u);  // custom rate only with brCustom
  port.SetBaudRate(brCustom);
  EXPECT_EQ(port.BuildDeviceControl().baud_rate, 31250u);
  port.SetCustomBaudRate(-1);
  EXPECT_THROW(port.BuildDeviceControl(), ERangeError);
  port.SetCustomBaudRate(0);

  port.Buffer().SetInputSize(262140);  // limit 65535
  EXPECT_EQ(port.BuildDeviceControl().xon_limit, 65535);
  port.Buffer().SetInputSize(262144);  // limit 65536
  EXPECT_THROW(port.BuildDeviceControl(), ERangeError);
  port.Buffer().SetInputSize(-8);
  EXPECT_THROW(port.BuildDeviceControl(), ERangeError);
  port.Buffer().SetInputSize(-3);  // truncates to 0
  EXPECT_EQ(port.BuildDeviceControl().xoff_limit, 0);
}

TEST(BaudRateNames, LookUpRatedValuesOnly) {
  TBaudRate rate = brCustom;
  EXPECT_TRUE(TComPort::BaudRateFromName("br115200", rate));
  EXPECT_EQ(rate, br115200);
  EXPECT_TRUE(TComPort::BaudRateFromName("br110", rate));
  EXPECT_EQ(rate, br110);
  for (const char* bad : {"br12345", "brCustom", "9600", "BR9600", "br9600 ", "", "br"})
    EXPECT_FALSE(TComPort::BaudRateFromName(bad, rate)) << bad;
}

TEST(BaudRateNames, UnknownNameIsRefusedAtOpenWithClearError) {
  TComPort port;
  port.SetPort("vela-no-such-port");
  bool before_open = false, after_open = false;
  port.OnBeforeOpen = [&](TComPort&) { before_open = true; };
  port.OnAfterOpen = [&](TComPort&) { after_open = true; };
  port.SetBaudRateByName("br12345");
  EXPECT_EQ(port.InvalidBaudRateName(), "br12345");
  EXPECT_EQ(port.BaudRate(), br9600);  // the last valid rate stays readable
  try {
    port.OpenPort();
    FAIL() << "open succeeded";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ErrorCode(), 7);
    EXPECT_EQ(e.SystemErrorCode(), -1);
    EXPECT_EQ(std::string(e.what()), "SetCommState function failed: \"br12345\" names no baud rate");
  }
  EXPECT_TRUE(before_open);
  EXPECT_FALSE(after_open);
  EXPECT_FALSE(port.Connected());
  // A valid rate clears the rejection.
  port.SetBaudRateByName("br19200");
  EXPECT_TRUE(port.InvalidBaudRateName().empty());
  EXPECT_EQ(port.BaudRate(), br19200);
}

TEST(BaudRateNames, OutOfRangeValueIsRefusedBySetter) {
  TComPort port;
  EXPECT_THROW(port.SetBaudRate(static_cast<TBaudRate>(16)), ERangeError);
  EXPECT_THROW(port.SetBaudRate(static_cast<TBaudRate>(-1)), ERangeError);
  EXPECT_EQ(port.BaudRate(), br9600);
  EXPECT_EQ(TComPort::RateOf(static_cast<TBaudRate>(99)), 0);
}

TEST(Timeouts, MinusOneIsMaximumOtherNegativesAreRefused) {
  TComPort port;
  platform::DeviceTimeouts t = port.BuildTimeouts();
  EXPECT_EQ(t.read_interval, 0xFFFFFFFFu);
  EXPECT_EQ(t.read_total_multiplier, 0u);
  EXPECT_EQ(t.read_total_constant, 0u);
  EXPECT_EQ(t.write_total_multiplier, 100u);
  EXPECT_EQ(t.write_total_constant, 1000u);
  port.Timeouts().SetReadInterval(-2);
  EXPECT_THROW(port.BuildTimeouts(), ERangeError);
  port.Timeouts().SetReadInterval(0);
  port.Timeouts().SetWriteTotalConstant(-1);
  EXPECT_EQ(port.BuildTimeouts().write_total_constant, 0xFFFFFFFFu);
  port.Timeouts().SetReadTotalConstant(-100);
  EXPECT_THROW(port.BuildTimeouts(), ERangeError);
}

TEST(FlowControl, DerivedValueFromFourFields) {
  struct Case {
    TRTSFlowControl rts;
    bool cts, xin, xout;
    TFlowControl expected;
  } cases[] = {
      {rtsHandshake, true, false, false, fcHardware},
      {rtsHandshake, true, true, false, fcCustom},
      {rtsHandshake, false, false, false, fcCustom},
      {rtsDisable, false, true, true, fcSoftware},
      {rtsDisable, false, true, false, fcCustom},
      {rtsDisable, true, true, true, fcCustom},
      {rtsDisable, false, false, false, fcNone},
      {rtsEnable, false, false, false, fcCustom},  // the channel's configuration
      {rtsToggle, false, false, false, fcCustom},
      {rtsDisable, true, false, false, fcCustom},
  };
  for (const Case& c : cases) {
    TComFlowControl f;
    f.SetControlRTS(c.rts);
    f.SetOutCTSFlow(c.cts);
    f.SetXonXoffIn(c.xin);
    f.SetXonXoffOut(c.xout);
    EXPECT_EQ(f.FlowControl(), c.expected) << c.rts << c.cts << c.xin << c.xout;
  }
}

TEST(FlowControl, WritingDerivedValueSetsFourFieldsOnly) {
  struct Case {
    TFlowControl value;
    TRTSFlowControl rts;
    bool cts, xin, xout;
  } cases[] = {
      {fcHardware, rtsHandshake, true, false, false},
      {fcSoftware, rtsDisable, false, true, true},
      {fcNone, rtsDisable, false, false, false},
      {fcCustom, rtsToggle, true, true, false},  // unchanged from the start state below
  };
  for (const Case& c : cases) {
    TComFlowControl f;
    f.SetControlRTS(rtsToggle);
    f.SetOutCTSFlow(true);
    f.SetXonXoffIn(true);
    f.SetControlDTR(dtrHandshake);
    f.SetOutDSRFlow(true);
    f.SetFlowControl(c.value);
    EXPECT_EQ(f.ControlRTS(), c.rts) << c.value;
    EXPECT_EQ(f.OutCTSFlow(), c.cts) << c.value;
    EXPECT_EQ(f.XonXoffIn(), c.xin) << c.value;
    EXPECT_EQ(f.XonXoffOut(), c.xout) << c.value;
    EXPECT_EQ(f.ControlDTR(), dtrHandshake) << c.value;
    EXPECT_TRUE(f.OutDSRFlow()) << c.value;
    if (c.value != fcCustom) {
      EXPECT_EQ(f.FlowControl(), c.value);
    }
  }
}

TEST(SettingsObjects, AssignCopiesEveryField) {
  TComPort a, b;
  a.Parity().SetBits(prEven);
  a.Parity().SetCheck(true);
  a.Parity().SetReplace(true);
  a.Parity().SetReplaceChar('#');
  a.FlowControl().SetFlowControl(fcHardware);
  a.FlowControl().SetXonChar(5);
  a.Timeouts().SetReadTotalConstant(77);
  a.Buffer().SetOutputSize(333);  // stored as 332
  b.Parity().Assign(a.Parity());
  b.FlowControl().Assign(a.FlowControl());
  b.Timeouts().Assign(a.Timeouts());
  b.Buffer().Assign(a.Buffer());
  EXPECT_EQ(b.BuildDeviceControl(), a.BuildDeviceControl());
  EXPECT_EQ(b.Timeouts().ReadTotalConstant(), 77);
  EXPECT_EQ(b.Buffer().OutputSize(), 332);
}

TEST(SettingsObjects, OddPositiveQueueSizesAreReducedByOne) {
  struct Case {
    int32_t set, stored;
  } cases[] = {{4097, 4096}, {4096, 4096}, {1, 0}, {0, 0}, {-3, -3}, {2049, 2048}};
  for (const Case& c : cases) {
    TComBuffer buffer;
    buffer.SetInputSize(c.set);
    buffer.SetOutputSize(c.set);
    EXPECT_EQ(buffer.InputSize(), c.stored) << c.set;
    EXPECT_EQ(buffer.OutputSize(), c.stored) << c.set;
  }
}

TEST(EventMapping, MaskBitsBothWays) {
  EXPECT_EQ(TComPort::EventMask(TComEvents{evRxChar, evTxEmpty}), 0x0005u);
  EXPECT_EQ(TComPort::EventMask(TComEvents::All()), 0x05FFu);
  const std::pair<TComEvent, uint32_t> cases[] = {
      {evRxChar, 0x0001}, {evTxEmpty, 0x0004}, {evRxFlag, 0x0002}, {evRing, 0x0100}, {evBreak, 0x0040},
      {evCTS, 0x0008},    {evDSR, 0x0010},     {evError, 0x0080},  {evRLSD, 0x0020}, {evRx80Full, 0x0400},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TComPort::EventMask(TComEvents{c.first}), c.second) << c.first;
    EXPECT_EQ(TComPort::EventsFromMask(c.second), TComEvents{c.first}) << c.first;
  }
  EXPECT_TRUE(TComPort::EventsFromMask(0x0200).Empty());  // EV_RX... bits we do not use
}

TEST(ErrorMapping, FlagsToErrors) {
  EXPECT_EQ(TComPort::ErrorsFromFlags(0x0001, false), TComErrors{ceRxOver});
  EXPECT_EQ(TComPort::ErrorsFromFlags(0x0002, false), TComErrors{ceOverrun});
  EXPECT_EQ(TComPort::ErrorsFromFlags(0x0004, false), TComErrors{});
  EXPECT_EQ(TComPort::ErrorsFromFlags(0x0004, true), TComErrors{ceRxParity});
  EXPECT_EQ(TComPort::ErrorsFromFlags(0x0008, false), TComErrors{ceFrame});
  EXPECT_EQ(TComPort::ErrorsFromFlags(0x0010, false), TComErrors{ceBreak});
  EXPECT_EQ(TComPort::ErrorsFromFlags(0x0100, false), TComErrors{ceTxFull});
  EXPECT_EQ(TComPort::ErrorsFromFlags(0x0400, false), TComErrors{ceIO});
  EXPECT_EQ(TComPort::ErrorsFromFlags(0x8000, false), TComErrors{ceMode});
  EXPECT_EQ(TComPort::ErrorsFromFlags(0xFFFF, true), TComErrors::All());
}

TEST(SignalMapping, StatusToSignals) {
  EXPECT_EQ(TComPort::SignalsFromStatus(0x10), TComSignals{csCTS});
  EXPECT_EQ(TComPort::SignalsFromStatus(0x20), TComSignals{csDSR});
  EXPECT_EQ(TComPort::SignalsFromStatus(0x40), TComSignals{csRing});
  EXPECT_EQ(TComPort::SignalsFromStatus(0x80), TComSignals{csRLSD});
  EXPECT_TRUE(TComPort::SignalsFromStatus(0x0F).Empty());
}

TEST(EComPortMessages, TableAndSuffix) {
  const char* const texts[] = {
      "Unable to open com port",
      "WriteFile function failed",
      "ReadFile function failed",
      "Invalid Async parameter",
      "PurgeComm function failed",
      "Unable to get async status",
      "SetCommState function failed",
      "SetCommTimeouts failed",
      "SetupComm function failed",
      "ClearCommError function failed",
      "GetCommModemStatus function failed",
      "EscapeCommFunction function failed",
      "TransmitCommChar function failed",
      "Cannot set property while connected",
      "EnumPorts function failed",
      "Failed to store settings",
      "Failed to load settings",
      "Link (un)registration failed",
      "Cannot change led state if ComPort is selected",
      "Cannot wait for event if event thread is created",
      "WaitForEvent method failed",
      "A component is linked to OnRxBuf event",
      "Registry error",
  };
  for (int code = 1; code <= 23; ++code) {
    EXPECT_EQ(EComPort::MessageText(code), texts[code - 1]) << code;
    const EComPort with_number(code, 5);
    EXPECT_EQ(std::string(with_number.what()), std::string(texts[code - 1]) + " (win error code: 5)");
    EXPECT_EQ(with_number.ErrorCode(), code);
    EXPECT_EQ(with_number.SystemErrorCode(), 5);
  }
  const EComPort without(14);
  EXPECT_EQ(std::string(without.what()), "Cannot set property while connected");
  EXPECT_EQ(without.SystemErrorCode(), -1);
  EXPECT_EQ(EComPort::MessageText(0), "");
  EXPECT_EQ(EComPort::MessageText(24), "");
}

TEST(OpenPort, MissingDeviceRaisesCodeOneWithSystemError) {
  TComPort port;
  port.SetPort("vela-no-such-port");
  std::vector<std::string> calls;
  port.OnBeforeOpen = [&](TComPort&) { calls.push_back("BeforeOpen"); };
  port.OnAfterOpen = [&](TComPort&) { calls.push_back("AfterOpen"); };
  try {
    port.OpenPort();
    FAIL() << "open succeeded";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ErrorCode(), 1);
    EXPECT_EQ(e.SystemErrorCode(), 2);  // ENOENT / ERROR_FILE_NOT_FOUND
    // The fixed text and number, then the device's path and the reason.
    EXPECT_EQ(std::string(e.what()),
              "Unable to open com port (win error code: 2): " + platform::SerialDevicePath("vela-no-such-port") + ": " +
                  platform::OpenErrorReason(2));
  }
  EXPECT_EQ(calls, std::vector<std::string>{"BeforeOpen"});
  EXPECT_FALSE(port.Connected());
  // Closing a closed port calls nothing.
  port.OnBeforeClose = [&](TComPort&) { calls.push_back("BeforeClose"); };
  port.ClosePort();
  EXPECT_EQ(calls.size(), 1u);
}

TEST(Transfers, EmptyRequestsNeedNoDevice) {
  TComPort port;  // closed
  EXPECT_EQ(port.WriteString(""), 0);
  ByteString text = "old";
  EXPECT_EQ(port.ReadString(text, 0), 0);
  EXPECT_TRUE(text.empty());
  text = "old";
  EXPECT_EQ(port.ReadString(text, -5), 0);
  EXPECT_TRUE(text.empty());
  EXPECT_THROW(port.WriteString("x"), EComPort);
  try {
    port.ReadString(text, 10);
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ErrorCode(), 3);
  }
}

}  // namespace
}  // namespace vela
