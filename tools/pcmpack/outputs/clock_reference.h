// SPDX-License-Identifier: BSD-2-Clause
// The clock an ST 2110 sender's timestamps follow, as its SDP names it
// (ts-refclk): the PTP grandmaster the system clock is locked to, asked of
// the ptp4l that runs here through its management client, or else the
// hardware address of the interface the datagrams leave by.
#pragma once

#include <string>

namespace pcmtool {

// The grandmaster in pmc's answers to GET DEFAULT_DATA_SET, PARENT_DATA_SET
// and PORT_DATA_SET, as EUI-64:DOMAIN (39-A7-94-FF-FE-07-CB-D0:127), when a
// port follows it or leads as it (SLAVE, MASTER, PASSIVE); "" otherwise,
// with `state` the ports' states as they are ("LISTENING", say), or empty
// when nothing answered.
std::string grandmaster_from_pmc(const std::string &answers, std::string &state);

// Asks the ptp4l of this machine, in the default domain and in ST 2059-2's
// 127. "" when none runs or none follows a grandmaster; `state` as above.
std::string find_ptp_grandmaster(std::string &state);

// The interface that holds `local_address`, or else the first with a
// hardware address, as localmac writes it (02-00-5E-10-00-01).
std::string interface_mac(const std::string &local_address);

}  // namespace pcmtool
