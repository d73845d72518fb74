// Unit tests of the processor alone: flags, wrap-around, hooks, stops and the odd instructions.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cpu/processor.h"
#include "machine/machine.h"

#include <unistd.h>

namespace {

using kavo::Processor;
using kavo::RegisterFile;
using kavo::Stop;
using kavo::trap_area;

std::string hex(unsigned value, int digits = 2) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// run_until_trap with a watchdog: a fault that makes the processor loop
// ends the test binary with SIGALRM instead of hanging it.
Stop run(Processor& processor) {
    alarm(20);
    const Stop stop = processor.run_until_trap();
    alarm(0);
    return stop;
}

// Writes bytes from address on, wrapping at the top of memory.
void place(Processor& processor, std::uint16_t address, const std::vector<std::uint8_t>& bytes) {
    for (std::size_t index = 0; index < bytes.size(); ++index)
        processor.memory[std::uint16_t(address + index)] = bytes[index];
}

// A fresh Processor with SP at 0xFE80, below the trap area, and PC at 0x0100.
std::unique_ptr<Processor> fresh_processor() {
    auto processor = std::make_unique<Processor>();
    processor->registers.sp = 0xFE80;
    processor->registers.pc = 0x0100;
    return processor;
}

// Places code at 0x0100 followed by HLT, runs it and expects the HLT stop
// right behind the code.
void run_to_hlt(Processor& processor, std::vector<std::uint8_t> code) {
    const std::uint16_t halt_at = std::uint16_t(0x0100 + code.size());
    code.push_back(0x76);
    place(processor, 0x0100, code);
    processor.registers.pc = 0x0100;
    ASSERT_EQ(run(processor), Stop::halt);
    ASSERT_EQ(processor.registers.pc, halt_at + 1);
}

// ---------------------------------------------------------------------------
// Arithmetic and flags: the edge cases of every flag rule, as one table.

enum class Operation { ADD, ADC, SUB, SBB, ANA, XRA, ORA, CMP, ADD_DAA, DAA, INR, DCR, RLC, RRC, RAL, RAR, STC, CMC, CMA };

const char* name_of(Operation operation) {
    static const char* const names[] = {"ADD", "ADC", "SUB", "SBB", "ANA", "XRA", "ORA", "CMP", "ADD+DAA", "DAA",
                                        "INR", "DCR", "RLC", "RRC", "RAL", "RAR", "STC", "CMC", "CMA"};
    return names[unsigned(operation)];
}

// value is A for the accumulator operations (and the register that INR and
// DCR change); operand is the second operand of the ALU operations and the
// addend of ADD+DAA.
struct FlagCase {
    Operation operation;
    std::uint8_t value, operand, f_before, value_after, f_after;
};

constexpr FlagCase flag_cases[] = {
    // operation            value operand F before -> value  F after
    {Operation::ADD,        0x0F, 0x01, 0x02,       0x10, 0x12},  // AC from the low nibble, P = 0
    {Operation::ADD,        0xFF, 0x01, 0x02,       0x00, 0x57},  // carry, AC, Z, P
    {Operation::ADD,        0x80, 0x80, 0x02,       0x00, 0x47},  // carry without AC
    {Operation::ADD,        0x12, 0x34, 0xD7,       0x46, 0x02},  // every old flag cleared, nothing set
    {Operation::ADD,        0x7F, 0x01, 0x02,       0x80, 0x92},  // sign and AC, odd parity
    {Operation::ADC,        0x0E, 0x01, 0x03,       0x10, 0x12},  // the carry reaches the high nibble
    {Operation::ADC,        0xFF, 0x00, 0x03,       0x00, 0x57},  // the carry alone carries out
    {Operation::ADC,        0x0E, 0x01, 0x02,       0x0F, 0x06},  // without carry: no AC
    {Operation::SUB,        0x5A, 0x5A, 0x02,       0x00, 0x56},  // SUB A: Z, AC, P, no carry
    {Operation::SUB,        0x00, 0x01, 0x02,       0xFF, 0x87},  // borrow: C, S, P, no AC
    {Operation::SUB,        0x15, 0x03, 0x02,       0x12, 0x16},  // no nibble borrow: AC
    {Operation::SUB,        0x10, 0x01, 0x02,       0x0F, 0x06},  // nibble borrow: no AC
    {Operation::SUB,        0x00, 0x00, 0x03,       0x00, 0x56},  // an old carry does not count
    {Operation::SBB,        0x00, 0xFF, 0x03,       0x00, 0x47},  // subtrahend 0x100 > A: Z and C, no AC
    {Operation::SBB,        0x10, 0x00, 0x03,       0x0F, 0x06},  // the carry borrows from the nibble
    {Operation::SBB,        0x10, 0x00, 0x02,       0x10, 0x12},  // without carry
    {Operation::CMP,        0x15, 0x03, 0x02,       0x15, 0x16},  // flags as SUB, A kept
    {Operation::CMP,        0x00, 0x01, 0x02,       0x00, 0x87},
    {Operation::CMP,        0x42, 0x42, 0x03,       0x42, 0x56},
    {Operation::ANA,        0x08, 0x00, 0x02,       0x00, 0x56},  // AC from bit 3 of A
    {Operation::ANA,        0x00, 0x08, 0x02,       0x00, 0x56},  // AC from bit 3 of the operand
    {Operation::ANA,        0xF0, 0xF0, 0x03,       0xF0, 0x86},  // no bit 3: no AC; carry cleared
    {Operation::XRA,        0x5A, 0x5A, 0x02,       0x00, 0x46},  // XRA A
    {Operation::XRA,        0x0F, 0x01, 0x13,       0x0E, 0x02},  // clears C and AC, odd parity
    {Operation::ORA,        0x01, 0x02, 0x13,       0x03, 0x06},  // clears C and AC
    {Operation::ORA,        0x00, 0x00, 0x03,       0x00, 0x46},
    {Operation::ADD_DAA,    0x15, 0x27, 0x02,       0x42, 0x16},  // 15 + 27 = 42, AC = 1
    {Operation::ADD_DAA,    0x19, 0x28, 0x02,       0x47, 0x06},  // 19 + 28 = 47 from 0x41 with AC
    {Operation::ADD_DAA,    0x99, 0x01, 0x02,       0x00, 0x57},  // 99 + 1 = 100
    {Operation::DAA,        0x9A, 0x00, 0x02,       0x00, 0x57},
    {Operation::DAA,        0x99, 0x00, 0x02,       0x99, 0x86},  // nothing added; S, Z, P from A
    {Operation::DAA,        0xFF, 0x00, 0x02,       0x65, 0x17},
    {Operation::DAA,        0x0A, 0x00, 0x02,       0x10, 0x12},
    {Operation::DAA,        0xA0, 0x00, 0x02,       0x00, 0x47},  // high digit only: C, no AC
    {Operation::DAA,        0x00, 0x00, 0x03,       0x60, 0x07},  // old carry: 0x60 added, C stays
    {Operation::DAA,        0x00, 0x00, 0x12,       0x06, 0x06},  // old AC: 6 added, AC from that addition
    {Operation::DAA,        0x00, 0x00, 0x02,       0x00, 0x46},  // nothing added; Z and P set
    {Operation::INR,        0xFF, 0x00, 0x02,       0x00, 0x56},  // Z, AC, P; carry unchanged (0)
    {Operation::INR,        0xFF, 0x00, 0x03,       0x00, 0x57},  // carry unchanged (1)
    {Operation::INR,        0x0F, 0x00, 0x02,       0x10, 0x12},
    {Operation::INR,        0x7F, 0x00, 0x02,       0x80, 0x92},
    {Operation::INR,        0x00, 0x00, 0xD7,       0x01, 0x03},  // old S, Z, AC, P replaced
    {Operation::DCR,        0x00, 0x00, 0x02,       0xFF, 0x86},  // S, P, no AC
    {Operation::DCR,        0x01, 0x00, 0x02,       0x00, 0x56},  // Z, AC, P
    {Operation::DCR,        0x01, 0x00, 0x03,       0x00, 0x57},  // carry unchanged
    {Operation::DCR,        0x10, 0x00, 0x02,       0x0F, 0x06},  // no AC
    {Operation::RLC,        0x80, 0x00, 0x02,       0x01, 0x03},
    {Operation::RLC,        0x01, 0x00, 0xD7,       0x02, 0xD6},  // only C changes
    {Operation::RRC,        0x01, 0x00, 0x02,       0x80, 0x03},
    {Operation::RRC,        0x02, 0x00, 0xD7,       0x01, 0xD6},
    {Operation::RAL,        0x80, 0x00, 0x03,       0x01, 0x03},  // old C into bit 0
    {Operation::RAL,        0x40, 0x00, 0x03,       0x81, 0x02},
    {Operation::RAL,        0x80, 0x00, 0x02,       0x00, 0x03},  // Z stays clear
    {Operation::RAR,        0x01, 0x00, 0x02,       0x00, 0x03},  // Z stays as it was
    {Operation::RAR,        0x01, 0x00, 0xD6,       0x00, 0xD7},
    {Operation::RAR,        0x02, 0x00, 0x03,       0x81, 0x02},  // old C into bit 7
    {Operation::STC,        0x00, 0x00, 0x02,       0x00, 0x03},
    {Operation::STC,        0x00, 0x00, 0xD7,       0x00, 0xD7},
    {Operation::CMC,        0x00, 0x00, 0x03,       0x00, 0x02},
    {Operation::CMC,        0x00, 0x00, 0xD6,       0x00, 0xD7},
    {Operation::CMA,        0x55, 0x00, 0xD7,       0xAA, 0xD7},  // no flag changes
    {Operation::CMA,        0xFF, 0x00, 0x02,       0x00, 0x02},
};

// One way of executing a table row: code at 0x0100 and the register code
// (7 A, 0 B, 6 M) that holds the value before and the result after.
struct Form {
    std::string name;
    std::vector<std::uint8_t> code;
    unsigned target;
};

std::vector<Form> forms_of(const FlagCase& row) {
    const unsigned op = unsigned(row.operation);
    if (row.operation <= Operation::CMP)  // register, memory and immediate operand
        return {{"r B", {std::uint8_t(0x80 | op << 3)}, 7},
                {"M", {std::uint8_t(0x86 | op << 3)}, 7},
                {"immediate", {std::uint8_t(0xC6 | op << 3), row.operand}, 7}};
    switch (row.operation) {
    case Operation::ADD_DAA: return {{"ADD B; DAA", {0x80, 0x27}, 7}, {"ADI; DAA", {0xC6, row.operand, 0x27}, 7}};
    case Operation::DAA: return {{"DAA", {0x27}, 7}};
    case Operation::INR: return {{"INR A", {0x3C}, 7}, {"INR B", {0x04}, 0}, {"INR E", {0x1C}, 3}, {"INR M", {0x34}, 6}};
    case Operation::DCR: return {{"DCR A", {0x3D}, 7}, {"DCR C", {0x0D}, 1}, {"DCR L", {0x2D}, 5}, {"DCR M", {0x35}, 6}};
    case Operation::RLC: return {{"RLC", {0x07}, 7}};
    case Operation::RRC: return {{"RRC", {0x0F}, 7}};
    case Operation::RAL: return {{"RAL", {0x17}, 7}};
    case Operation::RAR: return {{"RAR", {0x1F}, 7}};
    case Operation::STC: return {{"STC", {0x37}, 7}};
    case Operation::CMC: return {{"CMC", {0x3F}, 7}};
    case Operation::CMA: return {{"CMA", {0x2F}, 7}};
    default: return {};
    }
}

TEST(ProcessorFlags, EdgeCaseTable) {
    for (const FlagCase& row : flag_cases) {
        for (const Form& form : forms_of(row)) {
            SCOPED_TRACE(std::string(name_of(row.operation)) + " (" + form.name + ") value " + hex(row.value) +
                         " operand " + hex(row.operand) + " F " + hex(row.f_before));
            auto processor = fresh_processor();
            RegisterFile& r = processor->registers;
            // HL points at 0x2000 for the M forms; when the target is L the
            // value is there and M is not used.
            r.h = 0x20;
            r.l = 0x00;
            r.b = row.operand;
            processor->memory[0x2000] = row.operand;
            r.f = row.f_before;
            r.a = row.value;
            processor->set_reg(form.target, row.value);
            const std::uint16_t sp = r.sp;
            run_to_hlt(*processor, form.code);
            EXPECT_EQ(hex(processor->get_reg(form.target)), hex(row.value_after));
            EXPECT_EQ(hex(r.f), hex(row.f_after));
            if (form.target != 7) {
                EXPECT_EQ(hex(r.a), hex(row.value)) << "A changed";
            }
            EXPECT_EQ(r.sp, sp);
        }
        // The same through RegisterFile::alu_op and decimal_adjust directly.
        if (row.operation <= Operation::CMP || row.operation == Operation::DAA) {
            SCOPED_TRACE(std::string("direct ") + name_of(row.operation) + " value " + hex(row.value) + " operand " +
                         hex(row.operand) + " F " + hex(row.f_before));
            RegisterFile r{};
            r.a = row.value;
            r.f = row.f_before;
            if (row.operation == Operation::DAA)
                r.decimal_adjust();
            else
                r.alu_op(unsigned(row.operation), row.operand);
            EXPECT_EQ(hex(r.a), hex(row.value_after));
            EXPECT_EQ(hex(r.f), hex(row.f_after));
        }
    }
}

// SUB A, CMP A, XRA A, ANA A, ORA A take their operand from A itself.
TEST(ProcessorFlags, AccumulatorAsItsOwnOperand) {
    struct Case { std::uint8_t opcode, a, f_before, a_after, f_after; };
    const Case cases[] = {
        {0x97, 0x5A, 0x03, 0x00, 0x56},  // SUB A
        {0x9F, 0x5A, 0x03, 0xFF, 0x87},  // SBB A with carry
        {0xBF, 0x5A, 0x02, 0x5A, 0x56},  // CMP A
        {0xAF, 0x5A, 0x13, 0x00, 0x46},  // XRA A
        {0xA7, 0x81, 0x03, 0x81, 0x86},  // ANA A: carry cleared, no AC (bit 3 clear)
        {0xB7, 0x00, 0x03, 0x00, 0x46},  // ORA A
        {0x87, 0x88, 0x02, 0x10, 0x13},  // ADD A
        {0x8F, 0x88, 0x03, 0x11, 0x17},  // ADC A
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("opcode " + hex(c.opcode) + " A " + hex(c.a));
        auto processor = fresh_processor();
        processor->registers.a = c.a;
        processor->registers.f = c.f_before;
        run_to_hlt(*processor, {c.opcode});
        EXPECT_EQ(hex(processor->registers.a), hex(c.a_after));
        EXPECT_EQ(hex(processor->registers.f), hex(c.f_after));
    }
}

TEST(ProcessorFlags, DadTable) {
    struct Case { std::uint8_t opcode; std::uint16_t hl, pair; std::uint8_t f_before; std::uint16_t hl_after; std::uint8_t f_after; };
    const Case cases[] = {
        {0x29, 0x8000, 0x8000, 0x02, 0x0000, 0x03},  // DAD H: carry, Z not set
        {0x29, 0x8000, 0x8000, 0xD6, 0x0000, 0xD7},  // only C changes
        {0x09, 0x1234, 0x1111, 0x03, 0x2345, 0x02},  // DAD B clears C
        {0x19, 0xFFFF, 0x0001, 0x02, 0x0000, 0x03},  // DAD D wraps
        {0x39, 0xFFFF, 0x0001, 0x46, 0x0000, 0x47},  // DAD SP wraps
        {0x39, 0x0100, 0xFE80, 0x03, 0xFF80, 0x02},
        {0x29, 0x4000, 0x4000, 0x03, 0x8000, 0x02},  // no sign flag from DAD
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("opcode " + hex(c.opcode) + " HL " + hex(c.hl, 4) + " pair " + hex(c.pair, 4));
        auto processor = fresh_processor();
        RegisterFile& r = processor->registers;
        r.set_hl(c.hl);
        switch (c.opcode) {
        case 0x09: r.set_bc(c.pair); break;
        case 0x19: r.set_de(c.pair); break;
        case 0x39: r.sp = c.pair; break;
        default: break;
        }
        r.f = c.f_before;
        run_to_hlt(*processor, {c.opcode});
        EXPECT_EQ(hex(r.hl(), 4), hex(c.hl_after, 4));
        EXPECT_EQ(hex(r.f), hex(c.f_after));
        if (c.opcode == 0x09) {
            EXPECT_EQ(r.bc(), c.pair);
        }
        if (c.opcode == 0x39) {
            EXPECT_EQ(r.sp, c.pair);
        }
    }
}

// ---------------------------------------------------------------------------
// Exhaustive comparison with a model written independently from the flag rules.

std::uint8_t szp(unsigned low_byte) {
    const std::uint8_t value = std::uint8_t(low_byte);
    unsigned ones = 0;
    for (unsigned bit = 0; bit < 8; ++bit)
        ones += value >> bit & 1;
    return std::uint8_t((value & 0x80) | (value == 0 ? 0x40 : 0) | (ones % 2 == 0 ? 0x04 : 0));
}

void model_alu(unsigned op, std::uint8_t& a, std::uint8_t& f, std::uint8_t v) {
    const unsigned carry = f & 1;
    unsigned r = 0;
    bool ac = false;
    const int low_a = a & 0x0F, low_v = v & 0x0F;
    switch (op) {
    case 0: r = a + v; ac = low_a + low_v >= 16; break;
    case 1: r = a + v + carry; ac = low_a + low_v + int(carry) >= 16; break;
    case 2: case 7: r = (a - v) & 0xFFFF; ac = low_a - low_v >= 0; break;
    case 3: r = (a - (v + carry)) & 0xFFFF; ac = low_a - low_v - int(carry) >= 0; break;
    case 4: r = a & v; ac = ((a | v) & 0x08) != 0; break;
    case 5: r = a ^ v; break;
    case 6: r = a | v; break;
    }
    f = std::uint8_t(szp(r & 0xFF) | (ac ? 0x10 : 0) | (r >> 8 & 1) | (f & 0x2A));
    if (op != 7)
        a = std::uint8_t(r);
}

void model_daa(std::uint8_t& a, std::uint8_t& f) {
    bool carry = f & 0x01, half = f & 0x10;
    if ((a & 0x0F) > 9 || half) {
        model_alu(0, a, f, 0x06);
        half = f & 0x10;
        if (f & 0x01)
            carry = true;
    }
    if ((a & 0xF0) > 0x90 || carry) {
        model_alu(0, a, f, 0x60);
        if (carry)
            f |= 0x01;
    }
    f = std::uint8_t((f & 0x2B) | (half ? 0x10 : 0) | szp(a));
}

TEST(ProcessorFlags, AluOpMatchesTheFlagModelForEveryOperand) {
    unsigned failures = 0;
    for (unsigned op = 0; op < 8; ++op)
        for (unsigned a = 0; a < 256; ++a)
            for (unsigned v = 0; v < 256; ++v)
                for (std::uint8_t f : {0x02, 0x03, 0x12, 0xD7, 0x00, 0xFF}) {  // 0x00, 0xFF: bits 1, 3, 5 kept as they are
                    RegisterFile r{};
                    r.a = std::uint8_t(a);
                    r.f = f;
                    r.alu_op(op, std::uint8_t(v));
                    std::uint8_t model_a = std::uint8_t(a), model_f = f;
                    model_alu(op, model_a, model_f, std::uint8_t(v));
                    if ((r.a != model_a || r.f != model_f) && ++failures <= 10)
                        ADD_FAILURE() << "op " << op << " A " << hex(a) << " v " << hex(v) << " F " << hex(f)
                                      << ": got A " << hex(r.a) << " F " << hex(r.f) << ", want A " << hex(model_a)
                                      << " F " << hex(model_f);
                }
    EXPECT_EQ(failures, 0u);
}

// The executor keeps F in parts of its own while it runs; every immediate
// arithmetic instruction, run by it, gives the model's A and F.
TEST(ProcessorFlags, ExecutorArithmeticMatchesTheModelForEveryOperand) {
    unsigned failures = 0;
    auto processor = fresh_processor();
    for (unsigned op = 0; op < 8; ++op)
        for (unsigned a = 0; a < 256; ++a)
            for (unsigned v = 0; v < 256; ++v)
                for (std::uint8_t f : {0x02, 0x03, 0x12, 0xD7, 0x00, 0xFF}) {
                    place(*processor, 0x0100, {std::uint8_t(0xC6 | op << 3), std::uint8_t(v), 0x76});  // ADI..CPI v; HLT
                    processor->registers.pc = 0x0100;
                    processor->registers.a = std::uint8_t(a);
                    processor->registers.f = f;
                    const Stop stop = processor->run_until_trap();
                    std::uint8_t model_a = std::uint8_t(a), model_f = f;
                    model_alu(op, model_a, model_f, std::uint8_t(v));
                    if ((stop != Stop::halt || processor->registers.a != model_a || processor->registers.f != model_f) &&
                        ++failures <= 10)
                        ADD_FAILURE() << "op " << op << " A " << hex(a) << " v " << hex(v) << " F " << hex(f)
                                      << ": got A " << hex(processor->registers.a) << " F "
                                      << hex(processor->registers.f) << ", want A " << hex(model_a) << " F "
                                      << hex(model_f);
                }
    EXPECT_EQ(failures, 0u);
}

// POP PSW then PUSH PSW gives back every flag state, with bits 3 and 5
// cleared and bit 1 set, and each condition reads the popped flags, even
// those no result byte gives (Z with S, or Z with odd parity).
TEST(ProcessorFlags, EveryPoppedFlagStateIsPushedAndTestedAsPopped) {
    for (unsigned f = 0; f < 256; ++f) {
        auto processor = fresh_processor();
        processor->registers.sp = 0x3000;
        processor->write_word(0x3000, std::uint16_t(0x5A00 | f));
        // POP PSW; PUSH PSW; then for each condition code a conditional
        // jump past an STA to a byte of its own, which leaves the flags
        // alone, so the bytes written are the conditions not met.
        std::vector<std::uint8_t> code = {0xF1, 0xF5};
        for (unsigned condition = 0; condition < 8; ++condition) {
            const std::uint16_t next = std::uint16_t(0x0100 + code.size() + 6);
            code.insert(code.end(), {std::uint8_t(0xC2 | condition << 3), std::uint8_t(next), std::uint8_t(next >> 8),
                                     0x32, std::uint8_t(condition), 0x20});  // Jcc next; STA 0x2000 + condition
        }
        run_to_hlt(*processor, code);
        const std::uint8_t popped = std::uint8_t((f & ~0x28) | 0x02);
        EXPECT_EQ(hex(processor->read_word(0x3000), 4), hex(0x5A00 | popped, 4));
        for (unsigned condition = 0; condition < 8; ++condition)
            EXPECT_EQ(processor->memory[0x2000 + condition] == 0x5A, !RegisterFile{.f = popped}.condition_met(condition))
                << "F " << hex(f) << ", condition " << condition;
    }
}

TEST(ProcessorFlags, DaaMatchesTheFlagModelForEveryAccumulatorAndFlagState) {
    unsigned failures = 0;
    for (unsigned a = 0; a < 256; ++a)
        for (std::uint8_t f : {0x02, 0x03, 0x12, 0x13, 0xC6, 0xD7}) {
            auto processor = fresh_processor();
            processor->registers.a = std::uint8_t(a);
            processor->registers.f = f;
            run_to_hlt(*processor, {0x27});
            std::uint8_t model_a = std::uint8_t(a), model_f = f;
            model_daa(model_a, model_f);
            if ((processor->registers.a != model_a || processor->registers.f != model_f) && ++failures <= 10)
                ADD_FAILURE() << "DAA A " << hex(a) << " F " << hex(f) << ": got A " << hex(processor->registers.a)
                              << " F " << hex(processor->registers.f) << ", want A " << hex(model_a) << " F "
                              << hex(model_f);
        }
    EXPECT_EQ(failures, 0u);
}

TEST(ProcessorFlags, InrAndDcrMatchTheFlagModelForEveryValue) {
    for (unsigned value = 0; value < 256; ++value)
        for (std::uint8_t f : {0x02, 0x03, 0xD7}) {
            for (bool increment : {true, false}) {
                auto processor = fresh_processor();
                processor->registers.d = std::uint8_t(value);
                processor->registers.f = f;
                run_to_hlt(*processor, {std::uint8_t(increment ? 0x14 : 0x15)});  // INR D / DCR D
                const std::uint8_t result = std::uint8_t(increment ? value + 1 : value - 1);
                const bool ac = increment ? (result & 0x0F) == 0 : (result & 0x0F) != 0x0F;
                const std::uint8_t want = std::uint8_t((f & 0x2B) | szp(result) | (ac ? 0x10 : 0));
                ASSERT_EQ(processor->registers.d, result);
                ASSERT_EQ(hex(processor->registers.f), hex(want))
                    << (increment ? "INR" : "DCR") << " of " << hex(value) << " with F " << hex(f);
            }
        }
}

// ---------------------------------------------------------------------------
// Wrap-around of every address computation.

TEST(ProcessorWrap, ReadAndWriteWordAtTheTop) {
    auto processor = fresh_processor();
    processor->memory[0xFFFF] = 0x34;
    processor->memory[0x0000] = 0x12;
    EXPECT_EQ(processor->read_word(0xFFFF), 0x1234);
    processor->write_word(0xFFFF, 0xABCD);
    EXPECT_EQ(processor->memory[0xFFFF], 0xCD);
    EXPECT_EQ(processor->memory[0x0000], 0xAB);
    EXPECT_EQ(processor->memory[0xFFFE], 0x00);
    EXPECT_EQ(processor->memory[0x0001], 0x00);
}

TEST(ProcessorWrap, PushAndPopAcrossTheTop) {
    auto processor = fresh_processor();
    processor->registers.sp = 0x0000;
    processor->push_word(0xABCD);
    EXPECT_EQ(processor->memory[0xFFFF], 0xAB);
    EXPECT_EQ(processor->memory[0xFFFE], 0xCD);
    EXPECT_EQ(processor->registers.sp, 0xFFFE);

    processor->registers.sp = 0x0001;
    processor->push_word(0x1234);
    EXPECT_EQ(processor->memory[0x0000], 0x12);
    EXPECT_EQ(processor->memory[0xFFFF], 0x34);
    EXPECT_EQ(processor->registers.sp, 0xFFFF);

    processor->registers.sp = 0xFFFF;
    EXPECT_EQ(processor->pop_word(), 0x1234);
    EXPECT_EQ(processor->registers.sp, 0x0001);

    processor->registers.sp = 0xFFFE;
    processor->write_word(0xFFFE, 0x5678);
    EXPECT_EQ(processor->pop_word(), 0x5678);
    EXPECT_EQ(processor->registers.sp, 0x0000);
}

TEST(ProcessorWrap, FetchWordAcrossTheTop) {
    auto processor = fresh_processor();
    processor->memory[0xFFFF] = 0x34;
    processor->memory[0x0000] = 0x12;
    processor->memory[0x0001] = 0x56;
    std::uint16_t counter = 0xFFFF;
    EXPECT_EQ(processor->fetch_word(counter), 0x1234);
    EXPECT_EQ(counter, 0x0001);
    counter = 0xFFFE;
    processor->memory[0xFFFE] = 0x78;
    EXPECT_EQ(processor->fetch_word(counter), 0x3478);
    EXPECT_EQ(counter, 0x0000);
    processor->registers.pc = 0xFFFF;
    EXPECT_EQ(processor->fetch_word(processor->registers.pc), 0x1234);
    EXPECT_EQ(processor->registers.pc, 0x0001);
}

TEST(ProcessorWrap, LhldAndShldAtTheTop) {
    auto processor = fresh_processor();
    processor->memory[0xFFFF] = 0x34;
    processor->memory[0x0000] = 0x12;
    run_to_hlt(*processor, {0x2A, 0xFF, 0xFF});  // LHLD 0xFFFF
    EXPECT_EQ(processor->registers.l, 0x34);
    EXPECT_EQ(processor->registers.h, 0x12);

    processor = fresh_processor();
    processor->registers.set_hl(0xBEEF);
    run_to_hlt(*processor, {0x22, 0xFF, 0xFF});  // SHLD 0xFFFF
    EXPECT_EQ(processor->memory[0xFFFF], 0xEF);
    EXPECT_EQ(processor->memory[0x0000], 0xBE);
}

TEST(ProcessorWrap, StackInstructionsAcrossTheTop) {
    // PUSH B with SP = 0x0000.
    auto processor = fresh_processor();
    processor->registers.sp = 0x0000;
    processor->registers.set_bc(0xABCD);
    run_to_hlt(*processor, {0xC5});
    EXPECT_EQ(processor->memory[0xFFFF], 0xAB);
    EXPECT_EQ(processor->memory[0xFFFE], 0xCD);
    EXPECT_EQ(processor->registers.sp, 0xFFFE);

    // PUSH D with SP = 0x0001: the high byte goes to 0x0000.
    processor = fresh_processor();
    processor->registers.sp = 0x0001;
    processor->registers.set_de(0x1234);
    run_to_hlt(*processor, {0xD5});
    EXPECT_EQ(processor->memory[0x0000], 0x12);
    EXPECT_EQ(processor->memory[0xFFFF], 0x34);
    EXPECT_EQ(processor->registers.sp, 0xFFFF);

    // POP H with SP = 0xFFFF.
    processor = fresh_processor();
    processor->registers.sp = 0xFFFF;
    processor->memory[0xFFFF] = 0x34;
    processor->memory[0x0000] = 0x12;
    run_to_hlt(*processor, {0xE1});
    EXPECT_EQ(processor->registers.hl(), 0x1234);
    EXPECT_EQ(processor->registers.sp, 0x0001);

    // CALL with SP = 0x0001 pushes its return address across the top.
    processor = fresh_processor();
    processor->registers.sp = 0x0001;
    processor->memory[0x0300] = 0x76;
    place(*processor, 0x0100, {0xCD, 0x00, 0x03});
    ASSERT_EQ(run(*processor), Stop::halt);
    EXPECT_EQ(processor->registers.pc, 0x0301);
    EXPECT_EQ(processor->memory[0x0000], 0x01);
    EXPECT_EQ(processor->memory[0xFFFF], 0x03);
    EXPECT_EQ(processor->registers.sp, 0xFFFF);

    // RET with SP = 0xFFFF.
    processor = fresh_processor();
    processor->registers.sp = 0xFFFF;
    processor->memory[0xFFFF] = 0x00;
    processor->memory[0x0000] = 0x03;
    processor->memory[0x0300] = 0x76;
    place(*processor, 0x0100, {0xC9});
    ASSERT_EQ(run(*processor), Stop::halt);
    EXPECT_EQ(processor->registers.pc, 0x0301);
    EXPECT_EQ(processor->registers.sp, 0x0001);

    // RST 1 with SP = 0x0000.
    processor = fresh_processor();
    processor->registers.sp = 0x0000;
    processor->memory[0x0008] = 0x76;
    place(*processor, 0x0100, {0xCF});
    ASSERT_EQ(run(*processor), Stop::halt);
    EXPECT_EQ(processor->registers.pc, 0x0009);
    EXPECT_EQ(processor->read_word(0xFFFE), 0x0101);
    EXPECT_EQ(processor->registers.sp, 0xFFFE);

    // XTHL with SP = 0xFFFF exchanges with memory[0xFFFF] and memory[0x0000].
    processor = fresh_processor();
    processor->registers.sp = 0xFFFF;
    processor->registers.set_hl(0x1111);
    processor->memory[0xFFFF] = 0x22;
    processor->memory[0x0000] = 0x33;
    run_to_hlt(*processor, {0xE3});
    EXPECT_EQ(processor->registers.hl(), 0x3322);
    EXPECT_EQ(processor->memory[0xFFFF], 0x11);
    EXPECT_EQ(processor->memory[0x0000], 0x11);
    EXPECT_EQ(processor->registers.sp, 0xFFFF);
}

// SP made odd while the processor runs (LXI SP, INX SP, DCX SP, SPHL): the
// stack words around 0xFFFF wrap, and once SP is even again pushes and pops
// go on as before.
TEST(ProcessorWrap, StackWordsWrapWhenSpTurnsOddWhileRunning) {
    auto processor = fresh_processor();
    processor->registers.set_bc(0xABCD);
    processor->registers.set_de(0x1234);
    run_to_hlt(*processor, {0x31, 0x01, 0x00,  // LXI SP,0x0001
                          0xD5,              // PUSH D: 0x12 to 0x0000, 0x34 to 0xFFFF
                          0x33,              // INX SP: 0x0000
                          0xC5});            // PUSH B: to 0xFFFE and 0xFFFF
    EXPECT_EQ(processor->memory[0x0000], 0x12);
    EXPECT_EQ(hex(processor->read_word(0xFFFE), 4), "0xABCD");
    EXPECT_EQ(processor->registers.sp, 0xFFFE);

    processor = fresh_processor();
    processor->memory[0xFFFF] = 0x22;
    processor->memory[0x0000] = 0x33;
    run_to_hlt(*processor, {0x21, 0xFF, 0xFF,  // LXI H,0xFFFF
                          0xF9,              // SPHL
                          0xC1,              // POP B from 0xFFFF and 0x0000
                          0x3B,              // DCX SP: 0x0000
                          0x3B,              // DCX SP: 0xFFFF
                          0xE3});            // XTHL with 0xFFFF and 0x0000
    EXPECT_EQ(hex(processor->registers.bc(), 4), "0x3322");
    EXPECT_EQ(hex(processor->registers.hl(), 4), "0x3322");
    EXPECT_EQ(processor->memory[0xFFFF], 0xFF);
    EXPECT_EQ(processor->memory[0x0000], 0xFF);
    EXPECT_EQ(processor->registers.sp, 0xFFFF);

    // A call and its return across the top, SP odd from an LXI.
    processor = fresh_processor();
    place(*processor, 0x0200, {0xC9});  // RET
    run_to_hlt(*processor, {0x31, 0x01, 0x00,  // LXI SP,0x0001
                          0xCD, 0x00, 0x02});  // CALL 0x0200
    EXPECT_EQ(processor->memory[0x0000], 0x01);
    EXPECT_EQ(processor->memory[0xFFFF], 0x06);
    EXPECT_EQ(processor->registers.sp, 0x0001);
}

TEST(ProcessorWrap, PairArithmeticWraps) {
    auto processor = fresh_processor();
    processor->registers.sp = 0xFFFF;
    processor->registers.f = 0x02;
    run_to_hlt(*processor, {0x33});  // INX SP
    EXPECT_EQ(processor->registers.sp, 0x0000);
    EXPECT_EQ(processor->registers.f, 0x02);

    processor = fresh_processor();
    processor->registers.set_bc(0x0000);
    processor->registers.f = 0xD7;
    run_to_hlt(*processor, {0x0B});  // DCX B
    EXPECT_EQ(processor->registers.bc(), 0xFFFF);
    EXPECT_EQ(processor->registers.f, 0xD7);

    processor = fresh_processor();
    processor->registers.set_hl(0xFFFF);
    processor->registers.set_de(0xFFFF);
    processor->registers.f = 0x02;
    run_to_hlt(*processor, {0x23, 0x13});  // INX H, INX D
    EXPECT_EQ(processor->registers.hl(), 0x0000);
    EXPECT_EQ(processor->registers.de(), 0x0000);
    EXPECT_EQ(processor->registers.b, 0x00) << "INX D carried into B";
    EXPECT_EQ(processor->registers.f, 0x02);

    processor = fresh_processor();
    processor->registers.sp = 0x0000;
    run_to_hlt(*processor, {0x3B});  // DCX SP
    EXPECT_EQ(processor->registers.sp, 0xFFFF);

    // An INX on the low register's overflow carries into the high one.
    processor = fresh_processor();
    processor->registers.set_bc(0x12FF);
    run_to_hlt(*processor, {0x03});
    EXPECT_EQ(processor->registers.bc(), 0x1300);
}

// Instructions never run from the trap area, so no instruction's own bytes
// can straddle 0xFFFF; what can is an instruction just below the trap area
// whose operand lies in it, and stack and data accesses (above).
TEST(ProcessorWrap, OperandBytesInTheTrapAreaAreReadAsData) {
    auto processor = fresh_processor();
    place(*processor, trap_area - 1, {0x21, 0xC3, 0xC0});  // LXI H with its operand at the trap area
    processor->registers.pc = trap_area - 1;
    EXPECT_EQ(run(*processor), Stop::trap);
    EXPECT_EQ(processor->registers.hl(), 0xC0C3);
    EXPECT_EQ(processor->registers.pc, trap_area + 2);

    processor = fresh_processor();
    place(*processor, trap_area - 2, {0x3E, 0x00, 0xC6});  // MVI A; then ADI in the trap area must not run
    processor->registers.pc = trap_area - 2;
    EXPECT_EQ(run(*processor), Stop::trap);
    EXPECT_EQ(processor->registers.pc, trap_area);
    EXPECT_EQ(processor->registers.a, 0x00);

    processor = fresh_processor();
    place(*processor, trap_area - 2, {0xC3, 0x00, 0x02});  // JMP whose high byte is in the trap area
    processor->memory[0x0200] = 0x76;
    processor->registers.pc = trap_area - 2;
    EXPECT_EQ(run(*processor), Stop::halt);
    EXPECT_EQ(processor->registers.pc, 0x0201);
}

// ---------------------------------------------------------------------------
// The six hooks.

class RecordingMachine : public Processor {
public:
    struct Call {
        std::string hook;
        unsigned argument;
        std::uint16_t pc;
        std::uint8_t b;  // to see that the hook sees the executor's registers
    };
    std::vector<Call> calls;

    void nop_group(unsigned y) override { calls.push_back({"nop_group", y, registers.pc, registers.b}); }
    void opcode_cb() override { calls.push_back({"cb", 0, registers.pc, registers.b}); }
    void opcode_d9() override { calls.push_back({"d9", 0, registers.pc, registers.b}); }
    void opcode_dd() override { calls.push_back({"dd", 0, registers.pc, registers.b}); }
    void opcode_ed() override { calls.push_back({"ed", 0, registers.pc, registers.b}); }
    void opcode_fd() override { calls.push_back({"fd", 0, registers.pc, registers.b}); }
};

TEST(ProcessorHooks, OverridesAreCalledWithTheirArgumentAndPcPastTheOpcode) {
    auto processor = std::make_unique<RecordingMachine>();
    const std::vector<std::uint8_t> code = {0x06, 0x5A,  // MVI B, 0x5A
                                            0x00, 0x08, 0x10, 0x18, 0x20, 0x28, 0x30, 0x38,
                                            0xCB, 0xD9, 0xDD, 0xED, 0xFD, 0x76};
    place(*processor, 0x0100, code);
    processor->registers.pc = 0x0100;
    processor->registers.sp = 0xFE80;
    ASSERT_EQ(run(*processor), Stop::halt);
    EXPECT_EQ(processor->registers.pc, 0x0100 + code.size());
    EXPECT_EQ(processor->registers.sp, 0xFE80);
    const std::vector<std::pair<std::string, unsigned>> expected = {
        {"nop_group", 0}, {"nop_group", 1}, {"nop_group", 2}, {"nop_group", 3}, {"nop_group", 4},
        {"nop_group", 5}, {"nop_group", 6}, {"nop_group", 7}, {"cb", 0},        {"d9", 0},
        {"dd", 0},        {"ed", 0},        {"fd", 0}};
    ASSERT_EQ(processor->calls.size(), expected.size());
    for (std::size_t index = 0; index < expected.size(); ++index) {
        SCOPED_TRACE("call " + std::to_string(index));
        EXPECT_EQ(processor->calls[index].hook, expected[index].first);
        EXPECT_EQ(processor->calls[index].argument, expected[index].second);
        EXPECT_EQ(processor->calls[index].pc, 0x0100 + 2 + index + 1) << "PC is not just past the opcode";
        EXPECT_EQ(processor->calls[index].b, 0x5A) << "the hook does not see the executor's registers";
    }
}

// A hook that reads an operand and changes registers: the executor goes on
// with what the hook left.
class OperandMachine : public Processor {
public:
    void opcode_cb() override { registers.a = memory[registers.pc++]; }
    void opcode_ed() override {
        registers.pc = fetch_word(registers.pc);
        registers.sp = 0x4000;
    }
    void nop_group(unsigned y) override {
        if (y == 7)
            registers.f |= 0x01;
    }
};

TEST(ProcessorHooks, WhatAnOverrideChangesStays) {
    auto processor = std::make_unique<OperandMachine>();
    place(*processor, 0x0100, {0xCB, 0x42,          // A = operand
                             0x32, 0x00, 0x20,    // STA 0x2000
                             0x38,                // sets C
                             0xED, 0x00, 0x03});  // jump to 0x0300 and SP = 0x4000
    processor->memory[0x0300] = 0x76;
    processor->registers.pc = 0x0100;
    processor->registers.sp = 0xFE80;
    ASSERT_EQ(run(*processor), Stop::halt);
    EXPECT_EQ(processor->registers.pc, 0x0301);
    EXPECT_EQ(processor->memory[0x2000], 0x42);
    EXPECT_EQ(processor->registers.a, 0x42);
    EXPECT_EQ(processor->registers.f, 0x03);
    EXPECT_EQ(processor->registers.sp, 0x4000);
}

TEST(ProcessorHooks, DefaultCbJumps) {
    auto processor = fresh_processor();
    processor->memory[0x1234] = 0x76;
    place(*processor, 0x0100, {0xCB, 0x34, 0x12});
    ASSERT_EQ(run(*processor), Stop::halt);
    EXPECT_EQ(processor->registers.pc, 0x1235);
    EXPECT_EQ(processor->registers.sp, 0xFE80);
    EXPECT_EQ(processor->memory[0xFE7F], 0x00);
    EXPECT_EQ(processor->memory[0xFE7E], 0x00);
}

TEST(ProcessorHooks, DefaultD9Returns) {
    auto processor = fresh_processor();
    processor->memory[0x1234] = 0x76;
    processor->registers.sp = 0xFE7E;
    processor->write_word(0xFE7E, 0x1234);
    place(*processor, 0x0100, {0xD9});
    ASSERT_EQ(run(*processor), Stop::halt);
    EXPECT_EQ(processor->registers.pc, 0x1235);
    EXPECT_EQ(processor->registers.sp, 0xFE80);
}

TEST(ProcessorHooks, DefaultDdEdFdCallAndPushTheAddressAfterTheOperand) {
    for (std::uint8_t opcode : {0xDD, 0xED, 0xFD}) {
        SCOPED_TRACE("opcode " + hex(opcode));
        auto processor = fresh_processor();
        processor->memory[0x1234] = 0x76;
        place(*processor, 0x0100, {opcode, 0x34, 0x12});
        ASSERT_EQ(run(*processor), Stop::halt);
        EXPECT_EQ(processor->registers.pc, 0x1235);
        EXPECT_EQ(processor->registers.sp, 0xFE7E);
        EXPECT_EQ(processor->read_word(0xFE7E), 0x0103);
    }
}

TEST(ProcessorHooks, DefaultHooksCalledDirectly) {
    auto processor = fresh_processor();
    place(*processor, 0x0101, {0x34, 0x12});
    processor->registers.pc = 0x0101;
    processor->opcode_fd();
    EXPECT_EQ(processor->registers.pc, 0x1234);
    EXPECT_EQ(processor->registers.sp, 0xFE7E);
    EXPECT_EQ(processor->read_word(0xFE7E), 0x0103);
    processor->opcode_d9();
    EXPECT_EQ(processor->registers.pc, 0x0103);
    EXPECT_EQ(processor->registers.sp, 0xFE80);
    processor->registers.pc = 0x0101;
    processor->opcode_cb();
    EXPECT_EQ(processor->registers.pc, 0x1234);
    EXPECT_EQ(processor->registers.sp, 0xFE80);
}

TEST(ProcessorHooks, NopGroupChangesOnlyPc) {
    for (std::uint8_t opcode : {0x00, 0x08, 0x10, 0x18, 0x20, 0x28, 0x30, 0x38}) {
        SCOPED_TRACE("opcode " + hex(opcode));
        auto processor = fresh_processor();
        RegisterFile& r = processor->registers;
        r.a = 0x11; r.b = 0x22; r.c = 0x33; r.d = 0x44; r.e = 0x55; r.h = 0x66; r.l = 0x77; r.f = 0xD7;
        r.sp = 0x1234;
        place(*processor, 0x0100, {opcode, 0x76});
        const RegisterFile before = r;
        const auto memory_before = processor->memory;
        ASSERT_EQ(run(*processor), Stop::halt);
        EXPECT_EQ(r.pc, 0x0102);
        RegisterFile expected = before;
        expected.pc = 0x0102;
        EXPECT_EQ(std::memcmp(&r, &expected, sizeof r), 0);
        EXPECT_TRUE(processor->memory == memory_before);
    }
}

// ---------------------------------------------------------------------------
// HLT and trap stops.

TEST(ProcessorStops, HltStopsWithPcOnePastIt) {
    auto processor = fresh_processor();
    place(*processor, 0x0200, {0x76, 0x3E, 0x11});  // HLT; MVI A, 0x11
    processor->registers.pc = 0x0200;
    EXPECT_EQ(run(*processor), Stop::halt);
    EXPECT_EQ(processor->registers.pc, 0x0201);
    EXPECT_EQ(processor->registers.a, 0x00) << "the instruction after HLT ran";
}

TEST(ProcessorStops, MovMMIsHltAndMovThroughMWorks) {
    auto processor = fresh_processor();
    processor->registers.set_hl(0x2000);
    run_to_hlt(*processor, {0x36, 0x99,   // MVI M, 0x99
                          0x46,         // MOV B, M
                          0x3E, 0x55,   // MVI A, 0x55
                          0x77});       // MOV M, A
    EXPECT_EQ(processor->registers.b, 0x99);
    EXPECT_EQ(processor->memory[0x2000], 0x55);
    EXPECT_EQ(processor->registers.hl(), 0x2000);
}

TEST(ProcessorStops, NothingRunsWhenPcStartsInTheTrapArea) {
    for (std::uint16_t start : {0xFFC0, 0xFFC3, 0xFFC6, 0xFFF6, 0xFFFF}) {
        SCOPED_TRACE("PC " + hex(start, 4));
        auto processor = fresh_processor();
        processor->memory[start] = 0x76;  // a HLT there must not run
        processor->memory[std::uint16_t(start + 1)] = 0x3C;
        processor->registers.pc = start;
        const RegisterFile before = processor->registers;
        EXPECT_EQ(run(*processor), Stop::trap);
        EXPECT_EQ(std::memcmp(&processor->registers, &before, sizeof before), 0);
    }
}

TEST(ProcessorStops, ExecutionRunningIntoTheTrapAreaStopsThere) {
    auto processor = fresh_processor();
    processor->memory[trap_area] = 0x3C;  // INR A, must not run
    processor->registers.pc = trap_area - 1;  // NOP
    EXPECT_EQ(run(*processor), Stop::trap);
    EXPECT_EQ(processor->registers.pc, trap_area);
    EXPECT_EQ(processor->registers.a, 0x00);
}

TEST(ProcessorStops, CallFiveReachesTheBdosEntry) {
    auto processor = fresh_processor();
    place(*processor, 0x0005, {0xC3, 0xC0, 0xFF});
    place(*processor, 0x0100, {0xCD, 0x05, 0x00});
    EXPECT_EQ(run(*processor), Stop::trap);
    EXPECT_EQ(processor->registers.pc, 0xFFC0);
    EXPECT_EQ(processor->registers.sp, 0xFE7E);
    EXPECT_EQ(processor->read_word(0xFE7E), 0x0103);
    // The supervisor's return: pop and go on behind the CALL.
    processor->memory[0x0103] = 0x76;
    processor->set_pc(processor->pop_word());
    EXPECT_EQ(run(*processor), Stop::halt);
    EXPECT_EQ(processor->registers.pc, 0x0104);
}

TEST(ProcessorStops, JumpsCallsAndReturnsIntoTheTrapArea) {
    auto processor = fresh_processor();
    place(*processor, 0x0100, {0xC3, 0xF6, 0xFF});  // JMP 0xFFF6
    EXPECT_EQ(run(*processor), Stop::trap);
    EXPECT_EQ(processor->registers.pc, 0xFFF6);

    processor = fresh_processor();
    place(*processor, 0x0100, {0xCD, 0xC3, 0xFF});  // CALL 0xFFC3
    EXPECT_EQ(run(*processor), Stop::trap);
    EXPECT_EQ(processor->registers.pc, 0xFFC3);
    EXPECT_EQ(processor->read_word(processor->registers.sp), 0x0103);

    processor = fresh_processor();
    processor->registers.sp = 0x3000;
    processor->write_word(0x3000, 0xFFC6);
    place(*processor, 0x0100, {0xC9});  // RET
    EXPECT_EQ(run(*processor), Stop::trap);
    EXPECT_EQ(processor->registers.pc, 0xFFC6);

    processor = fresh_processor();
    processor->registers.set_hl(0xFFFF);
    place(*processor, 0x0100, {0xE9});  // PCHL
    EXPECT_EQ(run(*processor), Stop::trap);
    EXPECT_EQ(processor->registers.pc, 0xFFFF);
}

TEST(ProcessorStops, HltJustBelowTheTrapAreaHaltsAndAByte76ThereDoesNot) {
    auto processor = fresh_processor();
    processor->memory[trap_area - 1] = 0x76;
    processor->registers.pc = trap_area - 1;
    EXPECT_EQ(run(*processor), Stop::halt);
    EXPECT_EQ(processor->registers.pc, trap_area);

    // The same byte as data: a trap stop, though memory[PC - 1] is 0x76.
    processor = fresh_processor();
    processor->memory[trap_area - 1] = 0x76;
    place(*processor, 0x0005, {0xC3, std::uint8_t(trap_area), trap_area >> 8});
    place(*processor, 0x0100, {0xCD, 0x05, 0x00});
    EXPECT_EQ(run(*processor), Stop::trap);
    EXPECT_EQ(processor->registers.pc, trap_area);
}

// ---------------------------------------------------------------------------
// The threaded loops against the single steppers, on every two-instruction
// sequence: a loop fetches the second opcode after the first instruction
// has run and may jump to its handler without the table, and must end where
// the instructions one at a time end.

// Runs processor one step at a time on the 8080 or the Z80 until it halts or
// traps.
Stop step_to_stop(Processor& processor, bool z80) {
    for (int steps = 0; steps < 8; ++steps)
        if (const Stop stop = z80 ? processor.step_z80() : processor.step(); stop != Stop::none)
            return stop;
    return Stop::none;
}

// Every opcode followed by every opcode, on each processor, in memory
// otherwise full of HLT, so that any jump ends at once; operand bytes are
// 0x76 too. Each sequence runs from 0x0100 and from right below the trap
// area (where the second opcode is already in it and must not run), with
// two register states: one with every flag clear, and one with every flag
// set and HL at the second opcode, which a store through M then overwrites
// before it runs. A sequence that loops for ever (PCHL to itself) is left
// out.
TEST(ProcessorLoop, RunningAndSteppingAgreeOnEveryTwoInstructionSequence) {
    auto looped = std::make_unique<Processor>(), stepped = std::make_unique<Processor>();
    unsigned failures = 0;
    std::uint32_t random = 12345;
    const auto next_random = [&random] { return random = random * 1103515245 + 12345, std::uint16_t(random >> 12); };
    for (bool z80 : {false, true})
        for (unsigned first = 0; first < 256; ++first)
            for (unsigned second = 0; second < 256; ++second)
                for (std::uint16_t start : {std::uint16_t(0x0100), std::uint16_t(0xFFBF)})
                    for (bool flags_set : {false, true}) {
                        // The first opcode's length, from where one step of it ends.
                        stepped->memory.fill(0x00);
                        stepped->registers = RegisterFile{.f = 0x02, .sp = 0x8000, .pc = 0x0100};
                        stepped->memory[0x0100] = std::uint8_t(first);
                        z80 ? stepped->step_z80() : stepped->step();
                        const std::uint16_t length = std::uint16_t(stepped->registers.pc - 0x0100);
                        const std::uint16_t second_at =
                            std::uint16_t(start + (length >= 1 && length <= 4 ? length : 1));

                        RegisterFile registers{};
                        registers.set_bc(next_random());
                        registers.set_de(next_random());
                        registers.set_hl(flags_set ? second_at : next_random());
                        registers.a = std::uint8_t(next_random());
                        registers.f = flags_set ? 0xD7 : 0x02;
                        registers.sp = std::uint16_t(0x8000 + (next_random() & 0x0FFF));
                        registers.pc = start;
                        for (Processor* processor : {looped.get(), stepped.get()}) {
                            processor->memory.fill(0x76);
                            processor->memory[start] = std::uint8_t(first);
                            processor->memory[second_at] = std::uint8_t(second);
                            processor->registers = registers;
                            processor->z80 = kavo::Z80Registers{};
                        }
                        const Stop step_stop = step_to_stop(*stepped, z80);
                        if (step_stop == Stop::none)
                            continue;
                        alarm(20);
                        const Stop loop_stop = z80 ? looped->run_until_trap_z80() : looped->run_until_trap();
                        alarm(0);
                        const kavo::Z80Registers &loop_z80 = looped->z80, &step_z80 = stepped->z80;
                        if ((loop_stop != step_stop ||
                             std::memcmp(&looped->registers, &stepped->registers, sizeof registers) != 0 ||
                             std::memcmp(&loop_z80.alternate, &step_z80.alternate, sizeof registers) != 0 ||
                             loop_z80.ix != step_z80.ix || loop_z80.iy != step_z80.iy || loop_z80.wz != step_z80.wz ||
                             loop_z80.r != step_z80.r || looped->memory != stepped->memory) &&
                            ++failures <= 10)
                            ADD_FAILURE() << (z80 ? "Z80 " : "8080 ") << hex(first) << " then " << hex(second)
                                          << " at " << hex(start, 4) << (flags_set ? ", flags set" : ", flags clear")
                                          << ": the loop ends at PC " << hex(looped->registers.pc, 4)
                                          << ", stepping at " << hex(stepped->registers.pc, 4);
                    }
    EXPECT_EQ(failures, 0u);
}

// ---------------------------------------------------------------------------
// Conditions not taken, and taken.

struct ConditionCase {
    unsigned code;
    std::uint8_t f_false, f_true;
};
constexpr ConditionCase condition_cases[] = {
    {0, 0x42, 0x02},  // NZ
    {1, 0x02, 0x42},  // Z
    {2, 0x03, 0x02},  // NC
    {3, 0x02, 0x03},  // C
    {4, 0x06, 0x02},  // PO
    {5, 0x02, 0x06},  // PE
    {6, 0x82, 0x02},  // P
    {7, 0x02, 0x82},  // M
};

TEST(ProcessorConditions, NotTakenAdvancesPastTheInstructionOnly) {
    for (const ConditionCase& c : condition_cases) {
        SCOPED_TRACE("condition " + std::to_string(c.code));
        for (std::uint8_t base : {0xC2, 0xC4, 0xC0}) {  // Jcc, Ccc, Rcc
            SCOPED_TRACE("opcode " + hex(base | c.code << 3));
            auto processor = fresh_processor();
            processor->registers.f = c.f_false;
            processor->registers.sp = 0x3000;
            processor->write_word(0x3000, 0x0500);  // where a wrong return would go
            processor->memory[0x0500] = 0x76;
            processor->memory[0x1234] = 0x76;
            std::vector<std::uint8_t> code = {std::uint8_t(base | c.code << 3)};
            if (base != 0xC0)
                code.insert(code.end(), {0x34, 0x12});
            run_to_hlt(*processor, code);
            EXPECT_EQ(processor->registers.sp, 0x3000);
            EXPECT_EQ(processor->read_word(0x2FFE), 0x0000) << "something was pushed";
            EXPECT_EQ(processor->registers.f, c.f_false);
        }
    }
}

TEST(ProcessorConditions, TakenJumpsCallsAndReturns) {
    for (const ConditionCase& c : condition_cases) {
        SCOPED_TRACE("condition " + std::to_string(c.code));
        EXPECT_FALSE(RegisterFile{.f = c.f_false}.condition_met(c.code));
        EXPECT_TRUE(RegisterFile{.f = c.f_true}.condition_met(c.code));
        for (std::uint8_t base : {0xC2, 0xC4, 0xC0}) {
            SCOPED_TRACE("opcode " + hex(base | c.code << 3));
            auto processor = fresh_processor();
            processor->registers.f = c.f_true;
            processor->registers.sp = 0x3000;
            processor->write_word(0x3000, 0x1234);
            processor->memory[0x1234] = 0x76;
            std::vector<std::uint8_t> code = {std::uint8_t(base | c.code << 3)};
            if (base != 0xC0)
                code.insert(code.end(), {0x34, 0x12});
            place(*processor, 0x0100, code);
            ASSERT_EQ(run(*processor), Stop::halt);
            EXPECT_EQ(processor->registers.pc, 0x1235);
            if (base == 0xC2) {
                EXPECT_EQ(processor->registers.sp, 0x3000);
            }
            if (base == 0xC4) {
                EXPECT_EQ(processor->registers.sp, 0x2FFE);
                EXPECT_EQ(processor->read_word(0x2FFE), 0x0103);
            }
            if (base == 0xC0) {
                EXPECT_EQ(processor->registers.sp, 0x3002);
            }
        }
    }
}

// ---------------------------------------------------------------------------
// IN, OUT, POP PSW, XTHL, RST, and the register file.

TEST(ProcessorInstructions, InGivesFfAndOutDoesNothing) {
    auto processor = fresh_processor();
    RegisterFile& r = processor->registers;
    r.a = 0x12; r.b = 0x34; r.f = 0x46;
    place(*processor, 0x0100, {0xDB, 0x42, 0x76});
    const auto memory_before = processor->memory;
    RegisterFile expected = r;
    ASSERT_EQ(run(*processor), Stop::halt);
    expected.a = 0xFF;
    expected.pc = 0x0103;
    EXPECT_EQ(std::memcmp(&r, &expected, sizeof r), 0) << "A " << hex(r.a) << " F " << hex(r.f);
    EXPECT_TRUE(processor->memory == memory_before);

    processor = fresh_processor();
    processor->registers.a = 0x12;
    processor->registers.f = 0x02;
    place(*processor, 0x0100, {0xD3, 0x76, 0x76});  // OUT with the port byte 0x76: skipped, not run
    expected = processor->registers;
    const auto memory_out = processor->memory;
    ASSERT_EQ(run(*processor), Stop::halt);
    expected.pc = 0x0103;
    EXPECT_EQ(std::memcmp(&processor->registers, &expected, sizeof expected), 0);
    EXPECT_TRUE(processor->memory == memory_out);
}

TEST(ProcessorInstructions, PopPswForcesTheFixedBits) {
    auto processor = fresh_processor();
    processor->registers.sp = 0x3000;
    processor->write_word(0x3000, 0xFFFF);
    run_to_hlt(*processor, {0xF1});
    EXPECT_EQ(hex(processor->registers.a), "0xFF");
    EXPECT_EQ(hex(processor->registers.f), "0xD7");
    EXPECT_EQ(processor->registers.sp, 0x3002);

    processor = fresh_processor();
    processor->registers.sp = 0x3000;
    processor->registers.a = 0x55;
    processor->registers.f = 0xD7;
    processor->write_word(0x3000, 0x0000);
    run_to_hlt(*processor, {0xF1});
    EXPECT_EQ(hex(processor->registers.a), "0x00");
    EXPECT_EQ(hex(processor->registers.f), "0x02");

    // PUSH PSW pushes A high and F unchanged.
    processor = fresh_processor();
    processor->registers.a = 0x5A;
    processor->registers.f = 0x93;
    run_to_hlt(*processor, {0xF5});
    EXPECT_EQ(processor->read_word(0xFE7E), 0x5A93);
    EXPECT_EQ(processor->registers.f, 0x93);
}

TEST(ProcessorInstructions, XthlExchangesWithTheTopOfTheStack) {
    auto processor = fresh_processor();
    processor->registers.sp = 0x3000;
    processor->registers.set_hl(0x1111);
    processor->write_word(0x3000, 0x2222);
    run_to_hlt(*processor, {0xE3});
    EXPECT_EQ(processor->registers.hl(), 0x2222);
    EXPECT_EQ(processor->read_word(0x3000), 0x1111);
    EXPECT_EQ(processor->registers.sp, 0x3000);
}

TEST(ProcessorInstructions, RstPushesTheNextAddress) {
    auto processor = fresh_processor();
    processor->memory[0x0300] = 0xFF;  // RST 7
    processor->memory[0x0038] = 0x76;
    processor->registers.pc = 0x0300;
    ASSERT_EQ(run(*processor), Stop::halt);
    EXPECT_EQ(processor->registers.pc, 0x0039);
    EXPECT_EQ(processor->registers.sp, 0xFE7E);
    EXPECT_EQ(processor->read_word(0xFE7E), 0x0301);

    for (unsigned n = 0; n < 8; ++n) {
        SCOPED_TRACE("RST " + std::to_string(n));
        processor = fresh_processor();
        processor->memory[0x0100] = std::uint8_t(0xC7 | n << 3);
        processor->memory[8 * n] = 0x76;
        ASSERT_EQ(run(*processor), Stop::halt);
        EXPECT_EQ(processor->registers.pc, 8 * n + 1);
        EXPECT_EQ(processor->read_word(0xFE7E), 0x0101);
    }
}

TEST(ProcessorInstructions, XchgSphlPchlLdaxStax) {
    auto processor = fresh_processor();
    processor->registers.set_hl(0x1234);
    processor->registers.set_de(0x5678);
    processor->registers.set_bc(0x2000);
    processor->memory[0x5678] = 0xAB;
    run_to_hlt(*processor, {0xEB,         // XCHG: HL 0x5678, DE 0x1234
                          0x7E,         // MOV A, M
                          0x02,         // STAX B
                          0xF9});       // SPHL
    EXPECT_EQ(processor->registers.hl(), 0x5678);
    EXPECT_EQ(processor->registers.de(), 0x1234);
    EXPECT_EQ(processor->memory[0x2000], 0xAB);
    EXPECT_EQ(processor->registers.sp, 0x5678);
}

TEST(RegisterFile, PairsAreViewsOfTheirBytes) {
    RegisterFile r{};
    r.set_bc(0x1234);
    EXPECT_EQ(r.b, 0x12);
    EXPECT_EQ(r.c, 0x34);
    r.a = 0x5A;
    r.f = 0x93;
    EXPECT_EQ(r.psw(), 0x5A93);
    r.set_de(0xABCD);
    EXPECT_EQ(r.d, 0xAB);
    EXPECT_EQ(r.e, 0xCD);
    r.l = 0x01;
    r.h = 0x80;
    EXPECT_EQ(r.hl(), 0x8001);
    r.e = 0xEF;
    EXPECT_EQ(r.de(), 0xABEF);
    r.set_pair(3, 0x1302);
    EXPECT_EQ(r.a, 0x13);
    EXPECT_EQ(r.f, 0x02);
    for (unsigned index = 0; index < 4; ++index) {
        r.set_pair(index, std::uint16_t(0x1111 * (index + 1)));
        EXPECT_EQ(r.pair(index), 0x1111 * (index + 1));
    }
    // The byte order C, B, E, D, L, H, F, A, then SP and PC.
    EXPECT_EQ(offsetof(RegisterFile, c), 0u);
    EXPECT_EQ(offsetof(RegisterFile, b), 1u);
    EXPECT_EQ(offsetof(RegisterFile, e), 2u);
    EXPECT_EQ(offsetof(RegisterFile, d), 3u);
    EXPECT_EQ(offsetof(RegisterFile, l), 4u);
    EXPECT_EQ(offsetof(RegisterFile, h), 5u);
    EXPECT_EQ(offsetof(RegisterFile, f), 6u);
    EXPECT_EQ(offsetof(RegisterFile, a), 7u);
    EXPECT_LT(offsetof(RegisterFile, sp), offsetof(RegisterFile, pc));
}

TEST(RegisterFile, RegisterCodesAndM) {
    auto processor = fresh_processor();
    RegisterFile& r = processor->registers;
    for (unsigned code = 0; code < 8; ++code)
        if (code != 6)
            processor->set_reg(code, std::uint8_t(0x10 + code));
    EXPECT_EQ(r.b, 0x10);
    EXPECT_EQ(r.c, 0x11);
    EXPECT_EQ(r.d, 0x12);
    EXPECT_EQ(r.e, 0x13);
    EXPECT_EQ(r.h, 0x14);
    EXPECT_EQ(r.l, 0x15);
    EXPECT_EQ(r.a, 0x17);
    r.set_hl(0x2000);
    processor->memory[0x2000] = 0x99;
    EXPECT_EQ(processor->get_reg(6), 0x99);
    processor->set_reg(6, 0x42);
    EXPECT_EQ(processor->memory[0x2000], 0x42);
    EXPECT_EQ(r.hl(), 0x2000);
    for (unsigned code = 0; code < 8; ++code)
        if (code != 6) {
            EXPECT_EQ(processor->get_reg(code), r.byte(code));
        }
}

TEST(RegisterFile, ParityAndConditions) {
    EXPECT_EQ(kavo::parity_even(0x00), 1u);
    EXPECT_EQ(kavo::parity_even(0x01), 0u);
    EXPECT_EQ(kavo::parity_even(0x03), 1u);
    EXPECT_EQ(kavo::parity_even(0x80), 0u);
    EXPECT_EQ(kavo::parity_even(0xFF), 1u);
    EXPECT_EQ(kavo::parity_even(0xFE), 0u);
    EXPECT_TRUE(RegisterFile{.f = 0x02}.condition_met(4));
    EXPECT_FALSE(RegisterFile{.f = 0x06}.condition_met(4));
}

TEST(MachineConstruction, FreshMachine) {
    auto machine = std::make_unique<kavo::Machine>();
    EXPECT_EQ(machine->processor.registers.pc, 0x0000);
    EXPECT_EQ(machine->processor.registers.f, 0x02);
    EXPECT_EQ(machine->bdos.dma_address, 0x0080);
    EXPECT_EQ(machine->bdos.user_code, 0);
    EXPECT_FALSE(machine->bdos.search_handle.has_value());
    EXPECT_TRUE(machine->bdos.file_slots.empty());
}

}  // namespace
