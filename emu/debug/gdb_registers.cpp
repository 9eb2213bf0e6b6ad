#include "debug/gdb_registers.h"

#include <string>

namespace vekos::debug {
namespace {

std::string make_target_xml() {
    std::string xml = R"(<?xml version="1.0"?>
<!DOCTYPE target SYSTEM "gdb-target.dtd">
<target version="1.0">
<architecture>i386</architecture>
<feature name="org.gnu.gdb.i386.core">
<flags id="i386_eflags" size="4">
<field name="CF" start="0" end="0"/><field name="" start="1" end="1"/>
<field name="PF" start="2" end="2"/><field name="AF" start="4" end="4"/>
<field name="ZF" start="6" end="6"/><field name="SF" start="7" end="7"/>
<field name="TF" start="8" end="8"/><field name="IF" start="9" end="9"/>
<field name="DF" start="10" end="10"/><field name="OF" start="11" end="11"/>
<field name="NT" start="14" end="14"/><field name="RF" start="16" end="16"/>
<field name="VM" start="17" end="17"/><field name="AC" start="18" end="18"/>
<field name="VIF" start="19" end="19"/><field name="VIP" start="20" end="20"/>
<field name="ID" start="21" end="21"/>
</flags>
)";
    for (int i = 0; i < kGdbRegCount; i++) {
        const GdbRegister &reg = kGdbRegisters[i];
        xml += "<reg name=\"" + std::string(reg.name) + "\" bitsize=\"" +
               std::to_string(reg.bytes * 8) + "\" type=\"" + std::string(reg.type) + "\"";
        if (i == 0) xml += " regnum=\"0\"";
        if (reg.x87_control) xml += " group=\"float\"";
        xml += "/>\n";
    }
    return xml + "</feature>\n</target>\n";
}

} // namespace

// gdb checks the names of all 32 core registers.
std::string_view i386_target_xml() {
    static const std::string xml = make_target_xml();
    return xml;
}

} // namespace vekos::debug
