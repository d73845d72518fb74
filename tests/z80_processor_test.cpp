// Unit tests of the Z80 executor on the processor alone: what the instruction exercisers do not reach.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "cpu/processor.h"

#include <unistd.h>

namespace {

using kavo::Processor;
using kavo::Stop;
using kavo::trap_area;
using Bytes = std::vector<std::uint8_t>;

// A fresh Processor with SP at the loader's 0xFE80 and PC at 0x0100.
std::unique_ptr<Processor> fresh_processor() {
    auto processor = std::make_unique<Processor>();
    processor->registers.sp = 0xFE80;
    processor->registers.pc = 0x0100;
    return processor;
}

// Writes bytes from address on, wrapping at the top of memory.
void place(Processor& processor, std::uint16_t address, const Bytes& bytes) {
    for (std::size_t index = 0; index < bytes.size(); ++index)
        processor.memory[std::uint16_t(address + index)] = bytes[index];
}

// run_until_trap_z80 with a watchdog: a fault that makes the processor loop
// ends the test binary with SIGALRM instead of hanging it.
Stop run(Processor& processor) {
    alarm(20);
    const Stop stop = processor.run_until_trap_z80();
    alarm(0);
    return stop;
}

// Places code at 0x0100 followed by HALT, runs it and expects the HALT stop
// right behind the code.
void run_to_halt(Processor& processor, Bytes code) {
    const std::uint16_t halt_at = std::uint16_t(0x0100 + code.size());
    code.push_back(0x76);
    place(processor, 0x0100, code);
    processor.registers.pc = 0x0100;
    ASSERT_EQ(run(processor), Stop::halt);
    ASSERT_EQ(processor.registers.pc, halt_at + 1);
}

// R after code that ends in LD A,R: bit 7 as LD R,A left it, the low seven
// bits counting every opcode fetch, prefixes included, and wrapping.
TEST(Z80Registers, RefreshCountsEveryOpcodeFetchAndKeepsBitSeven) {
    auto processor = fresh_processor();
    run_to_halt(*processor, {
                              0x3E, 0xFE,                 // LD A,0xFE
                              0xED, 0x4F,                 // LD R,A: R = 0xFE
                              0x00,                       // NOP: 1 fetch
                              0xDD, 0x00,                 // NOP behind an idle prefix: 2
                              0xCB, 0x00,                 // RLC B: 2
                              0xDD, 0xCB, 0x00, 0x06,     // RLC (IX+0): 2, the displacement and opcode are no fetches
                              0xDD, 0xDD, 0x21, 0,    0,  // LD IX,0 behind a prefix that hands over: 3
                              0xED, 0x5F,                 // LD A,R: 2, counted before the read
                          });
    // 0x7E + 12 wraps the low seven bits to 0x0A; bit 7 stays set.
    EXPECT_EQ(processor->registers.a, 0x8A);
    // The HALT's own fetch is counted too.
    EXPECT_EQ(processor->z80.r, 0x8B);

    processor = fresh_processor();
    run_to_halt(*processor, {0x3E, 0x7F, 0xED, 0x4F, 0xED, 0x5F});  // R = 0x7F; LD A,R
    EXPECT_EQ(processor->registers.a, 0x01) << "bit 7 is never reached by counting";
}

TEST(Z80Registers, InterruptVectorAndTheInterruptStateFlags) {
    auto processor = fresh_processor();
    run_to_halt(*processor, {
                              0x3E, 0x80, 0xED, 0x47,  // LD A,0x80; LD I,A
                              0xAF,                    // XOR A
                              0x37,                    // SCF: carry is kept by LD A,I
                              0xFB,                    // EI
                              0xED, 0x57,              // LD A,I: S from I, P from IFF2
                          });
    EXPECT_EQ(processor->registers.a, 0x80);
    EXPECT_EQ(processor->registers.f, 0x80 | 0x04 | 0x01);
    EXPECT_EQ(processor->z80.i, 0x80);
    EXPECT_TRUE(processor->z80.iff1 && processor->z80.iff2);

    processor = fresh_processor();
    run_to_halt(*processor, {0xFB, 0xF3, 0xED, 0x57});  // EI; DI; LD A,I
    EXPECT_EQ(processor->registers.f, 0x40) << "I = 0: Z, and no P after DI";
    EXPECT_FALSE(processor->z80.iff1 || processor->z80.iff2);
}

// IM and the two returns, with nothing to interrupt: the modes are kept, and
// RETN and RETI copy IFF2 into IFF1 and return.
TEST(Z80Registers, InterruptModesAndReturnsWithoutAnInterruptSource) {
    struct Case {
        std::uint8_t opcode, mode;
    };
    for (const Case& each : {Case{0x46, 0}, Case{0x4E, 0}, Case{0x56, 1}, Case{0x5E, 2}, Case{0x66, 0}, Case{0x6E, 0},
                             Case{0x76, 1}, Case{0x7E, 2}}) {
        auto processor = fresh_processor();
        processor->z80.interrupt_mode = 3;
        run_to_halt(*processor, {0xED, each.opcode});
        EXPECT_EQ(processor->z80.interrupt_mode, each.mode) << "ED " << int(each.opcode);
    }
    for (std::uint8_t opcode : {0x45, 0x4D, 0x55, 0x5D, 0x65, 0x6D, 0x75, 0x7D}) {
        auto processor = fresh_processor();
        processor->z80.iff2 = true;
        // CALL 0x0110; HALT; ... at 0x0110: RETN or RETI
        place(*processor, 0x0100, {0xCD, 0x10, 0x01, 0x76});
        place(*processor, 0x0110, {0xED, opcode});
        ASSERT_EQ(run(*processor), Stop::halt) << "ED " << int(opcode);
        EXPECT_EQ(processor->registers.pc, 0x0104);
        EXPECT_EQ(processor->registers.sp, 0xFE80);
        EXPECT_TRUE(processor->z80.iff1);
    }
}

// IN reads 0xFF from every port; IN r,(C) sets S, Z, P, 5 and 3 from it and
// clears H and N, keeping carry; IN A,(n) and OUT touch no flag; ED 70 only
// sets the flags.
TEST(Z80InputOutput, InputIsFfAndOutputIsDiscarded) {
    for (std::uint8_t opcode : {0x40, 0x48, 0x50, 0x58, 0x60, 0x68, 0x70, 0x78}) {
        auto processor = fresh_processor();
        run_to_halt(*processor, {
                                  0x01, 0x34, 0x12,  // LD BC,0x1234
                                  0x21, 0x00, 0x00,  // LD HL,0
                                  0x11, 0x00, 0x00,  // LD DE,0
                                  0x3E, 0x00,        // LD A,0
                                  0xB7, 0x37,        // OR A; SCF: Z, P and C set
                                  0xED, opcode,      // IN r,(C)
                              });
        const unsigned code = (opcode >> 3) & 7;
        EXPECT_EQ(processor->registers.f, 0x80 | 0x28 | 0x04 | 0x01) << "ED " << std::hex << int(opcode);
        // B C D E H L - A as loaded, but for the register of the code.
        std::uint8_t expected[8] = {0x12, 0x34, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
        if (code != 6)
            expected[code] = 0xFF;
        for (unsigned other = 0; other < 8; ++other) {
            if (other == 6)
                continue;
            EXPECT_EQ(processor->registers.byte(other), expected[other])
                << "ED " << std::hex << int(opcode) << " register " << other;
        }
    }
    auto processor = fresh_processor();
    run_to_halt(*processor, {
                              0x3E, 0x00, 0xB7,  // LD A,0; OR A: Z and P
                              0xDB, 0x10,        // IN A,(0x10)
                              0xD3, 0x10,        // OUT (0x10),A
                              0xED, 0x79,        // OUT (C),A
                              0xED, 0x71,        // OUT (C),0
                              0xED, 0xA3,        // OUTI: B and HL step, the byte goes nowhere
                          });
    EXPECT_EQ(processor->registers.a, 0xFF);
    EXPECT_EQ(processor->registers.b, 0xFF);
    EXPECT_EQ(processor->registers.hl(), 0x0001);
}

TEST(Z80Stops, HaltWithAndWithoutPrefixStopsPastItsByte) {
    for (const Bytes& code : {Bytes{0x76}, Bytes{0xDD, 0x76}, Bytes{0xFD, 0x76}, Bytes{0xDD, 0xFD, 0x76}}) {
        auto processor = fresh_processor();
        place(*processor, 0x0100, code);
        ASSERT_EQ(run(*processor), Stop::halt);
        EXPECT_EQ(processor->registers.pc, 0x0100 + code.size());
    }
}

// Every ED opcode the Z80 leaves undefined: two bytes that change nothing
// but PC and R.
TEST(Z80UndefinedOpcodes, EveryUndefinedEdOpcodeIsATwoByteNop) {
    for (unsigned opcode = 0; opcode < 256; ++opcode) {
        const bool defined = (opcode >= 0x40 && opcode < 0x80 && opcode != 0x77 && opcode != 0x7F) ||
                             (opcode >= 0xA0 && opcode < 0xC0 && (opcode & 7) < 4);
        if (defined)
            continue;
        auto processor = fresh_processor();
        for (unsigned code = 0; code < 8; ++code)
            if (code != 6)
                processor->registers.byte(code) = std::uint8_t(0x11 * (code + 1));
        processor->registers.f = 0xD7;
        processor->z80.ix = 0x1111, processor->z80.iy = 0x2222, processor->z80.wz = 0x3333;
        place(*processor, 0x0100, {0xED, std::uint8_t(opcode), 0x76});
        const kavo::RegisterFile before = processor->registers;
        const std::array<std::uint8_t, 0x10000> memory_before = processor->memory;
        ASSERT_EQ(run(*processor), Stop::halt) << "ED " << std::hex << opcode;
        EXPECT_EQ(processor->registers.pc, 0x0103) << "ED " << std::hex << opcode;
        for (unsigned code = 0; code < 8; ++code) {
            if (code == 6)
                continue;
            EXPECT_EQ(processor->registers.byte(code), before.byte(code)) << "ED " << std::hex << opcode;
        }
        EXPECT_EQ(processor->registers.f, 0xD7);
        EXPECT_EQ(processor->registers.sp, 0xFE80);
        EXPECT_EQ(processor->z80.ix, 0x1111);
        EXPECT_EQ(processor->z80.iy, 0x2222);
        EXPECT_EQ(processor->z80.wz, 0x3333);
        EXPECT_EQ(processor->z80.r, 3) << "ED, the opcode and HALT are three fetches";
        EXPECT_TRUE(processor->memory == memory_before) << "ED " << std::hex << opcode;
    }
}

// Prefix chains: a DD or FD followed by another DD, FD or ED did nothing, so
// the last prefix decides; DD and FD before an opcode without HL only cost a
// fetch.
TEST(Z80Prefixes, TheLastOfAChainOfPrefixesDecides) {
    auto processor = fresh_processor();
    processor->memory[0x4000] = 0x99;
    processor->memory[0x4001] = 0x88;
    run_to_halt(*processor, {
                              0xDD, 0xDD, 0xDD, 0x21, 0x34, 0x12,  // LD IX,0x1234
                              0xDD, 0xFD, 0x21, 0x78, 0x56,        // LD IY,0x5678
                              0xFD, 0xDD, 0x23,                    // INC IX
                              0xDD, 0xED, 0x4B, 0x00, 0x40,        // LD BC,(0x4000)
                              0xFD, 0x3E, 0x42,                    // LD A,0x42
                              0xDD, 0xEB,                          // EX DE,HL: never IX
                              0xFD, 0x26, 0x9A,                    // LD IYH,0x9A
                              0xDD, 0x6C,                          // LD IXL,IXH
                          });
    EXPECT_EQ(processor->z80.ix, 0x1212);
    EXPECT_EQ(processor->z80.iy, 0x9A78);
    EXPECT_EQ(processor->registers.bc(), 0x8899);
    EXPECT_EQ(processor->registers.a, 0x42);
    EXPECT_EQ(processor->z80.r & 0x7F, 22) << "one fetch per prefix and opcode";

    // The indexed bit instructions copy their result into the register of
    // their code; with (IX+d), H and L stay H and L.
    processor = fresh_processor();
    processor->memory[0x3005] = 0x81;
    processor->memory[0x2FFE] = 0x5A;
    run_to_halt(*processor, {
                              0xDD, 0x21, 0x00, 0x30,  // LD IX,0x3000
                              0xDD, 0xCB, 0x05, 0x00,  // RLC (IX+5),B
                              0xDD, 0x66, 0xFE,        // LD H,(IX-2)
                              0xDD, 0x75, 0x06,        // LD (IX+6),L
                              0xFD, 0x21, 0x00, 0x30,  // LD IY,0x3000
                              0xFD, 0xCB, 0x05, 0xC5,  // SET 0,(IY+5),L
                          });
    EXPECT_EQ(processor->memory[0x3005], 0x03);
    EXPECT_EQ(processor->registers.b, 0x03);
    EXPECT_EQ(processor->registers.h, 0x5A);
    EXPECT_EQ(processor->registers.l, 0x03);
    EXPECT_EQ(processor->memory[0x3006], 0x00);
}

// The instruction stepper: an idle prefix and each repetition of a block
// instruction are steps of their own; PC in the trap area is a trap.
TEST(Z80Stops, SteppingCountsIdlePrefixesAndRepetitions) {
    auto processor = fresh_processor();
    place(*processor, 0x0100, {0x01, 0x03, 0x00, 0xED, 0xB0, 0xDD, 0xDD, 0x21, 0x00, 0x00, 0xC3, 0xC0, 0xFF});
    const std::uint16_t expected_pc[] = {0x0103, 0x0103, 0x0103, 0x0105, 0x0106, 0x010A, 0xFFC0};
    for (std::uint16_t pc : expected_pc) {
        ASSERT_EQ(processor->step_z80(), Stop::none);
        EXPECT_EQ(processor->registers.pc, pc);
    }
    EXPECT_EQ(processor->registers.bc(), 0);
    EXPECT_EQ(processor->step_z80(), Stop::trap);
    EXPECT_EQ(processor->registers.pc, 0xFFC0);
}

// SCF and CCF take bits 5 and 3 from A alone (not from F), as documented for
// the NMOS Z80; BIT n,(HL) takes them from the high byte of MEMPTR.
TEST(Z80Flags, UndocumentedBitsOfScfCcfAndBitThroughMemptr) {
    auto processor = fresh_processor();
    run_to_halt(*processor, {
                              0x01, 0xFF, 0x00, 0xC5, 0xF1,  // LD BC,0x00FF; PUSH BC; POP AF: F = 0xFF, A = 0
                              0x37,                          // SCF
                          });
    EXPECT_EQ(processor->registers.f, 0xC5);
    processor = fresh_processor();
    run_to_halt(*processor, {0x3E, 0x28, 0xB7, 0x3F});  // LD A,0x28; OR A; CCF
    EXPECT_EQ(processor->registers.f, 0x28 | 0x04 | 0x01);

    processor = fresh_processor();
    processor->memory[0x2000] = 0x01;
    run_to_halt(*processor, {
                              0x3A, 0xFF, 0x27,  // LD A,(0x27FF): MEMPTR = 0x2800
                              0x21, 0x00, 0x20,  // LD HL,0x2000
                              0xCB, 0x46,        // BIT 0,(HL)
                          });
    EXPECT_EQ(processor->registers.f, 0x10 | 0x28) << "H, and 5 and 3 from MEMPTR's 0x28";
    processor = fresh_processor();
    run_to_halt(*processor, {
                              0x21, 0x00, 0x20,  // LD HL,0x2000
                              0x09,              // ADD HL,BC: MEMPTR = HL + 1 = 0x2001
                              0xCB, 0x7E,        // BIT 7,(HL)
                          });
    EXPECT_EQ(processor->registers.f, 0x10 | 0x40 | 0x04 | 0x20) << "Z and P, and 5 from MEMPTR's 0x20";
}

// Addresses wrap at 0xFFFF: IX+d and the pointers of block instructions. The
// trap area is ordinary memory for data: a block instruction reads and writes
// it (the BIOS jump vector there included) without stopping; only PC
// reaching it stops the processor.
TEST(Z80Wrap, IndexedAddressesAndBlockInstructionsWrapAtTheTop) {
    auto processor = fresh_processor();
    processor->memory[0x0000] = 0x5C;
    run_to_halt(*processor, {
                              0xDD, 0x21, 0xFF, 0xFF,  // LD IX,0xFFFF
                              0xDD, 0x7E, 0x01,        // LD A,(IX+1): 0x0000
                              0xFD, 0x21, 0x01, 0x00,  // LD IY,0x0001
                              0xFD, 0x77, 0xFE,        // LD (IY-2),A: 0xFFFF
                              0xFD, 0xCB, 0xFD, 0xFE,  // SET 7,(IY-3): 0xFFFE
                          });
    EXPECT_EQ(processor->memory[0xFFFF], 0x5C);
    EXPECT_EQ(processor->memory[0xFFFE] & 0x80, 0x80);
    EXPECT_EQ(processor->z80.wz, 0xFFFE);

    processor = fresh_processor();
    place(*processor, 0xFFFE, {0xA1, 0xA2, 0xA3, 0xA4});
    run_to_halt(*processor, {
                              0x21, 0xFE, 0xFF,  // LD HL,0xFFFE
                              0x11, 0xF0, 0xFF,  // LD DE,0xFFF0
                              0x01, 0x04, 0x00,  // LD BC,4
                              0xED, 0xB0,        // LDIR: 0xFFFE.. 0x0001 to 0xFFF0..0xFFF3
                              0x21, 0x01, 0x00,  // LD HL,0x0001
                              0x11, 0x01, 0xFF,  // LD DE,0xFF01
                              0x01, 0x04, 0x00,  // LD BC,4
                              0xED, 0xB8,        // LDDR: into the jump vector's first entry and below it
                          });
    EXPECT_EQ(processor->memory[0xFFF0], 0xA1);
    EXPECT_EQ(processor->memory[0xFFF3], 0xA4);
    EXPECT_EQ(processor->registers.hl(), 0xFFFD);
    EXPECT_EQ(processor->registers.de(), 0xFEFD);
    EXPECT_EQ(processor->memory[0xFF01], 0xA4);
    EXPECT_EQ(processor->memory[0xFEFE], 0xA1);

    // A repeating block instruction in the last bytes below the trap area
    // runs to its end, then PC reaches the trap area.
    processor = fresh_processor();
    const std::uint16_t last = trap_area - 2;
    place(*processor, 0x0100,
          {0x21, 0x00, 0x20, 0x11, 0x00, 0x30, 0x01, 0x00, 0x01, 0xC3, std::uint8_t(last), std::uint8_t(last >> 8)});
    place(*processor, last, {0xED, 0xB0});
    processor->memory[0x20FF] = 0x77;
    ASSERT_EQ(run(*processor), Stop::trap);
    EXPECT_EQ(processor->registers.pc, trap_area);
    EXPECT_EQ(processor->registers.bc(), 0);
    EXPECT_EQ(processor->memory[0x30FF], 0x77);
}

}  // namespace
