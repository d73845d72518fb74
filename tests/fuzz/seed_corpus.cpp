// Writes the fuzz targets' seed corpus: small 8080 programs, FCB call sequences, key streams, screen output, command lines, console scripts and command processor sessions.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "bdos/memory_map.h"
#include "tests/assembler.h"

namespace {

namespace fs = std::filesystem;
using namespace test;
using namespace std::string_literals;

// Prints a string through function 9, then ends through function 0.
Assembler hello() {
    Assembler program;
    program.lxi(DE, "message").bdos(9).bdos(0);
    program.label("message").db("hello, world\r\n$");
    return program;
}

// Makes the file named in the first default FCB, writes, reads and renames it,
// lists the directory and deletes what it made.
Assembler files() {
    Assembler program;
    program.lxi(DE, 0x005C).bdos(22).lxi(DE, 0x005C).bdos(21).lxi(DE, 0x005C).bdos(21);
    program.lxi(DE, 0x005C).bdos(16).lxi(DE, 0x005C).bdos(15).lxi(DE, 0x005C).bdos(20);
    program.lxi(HL, 0x0003).shld(0x005C + 33).lxi(DE, 0x005C).bdos(34).lxi(DE, 0x005C).bdos(33);
    program.lxi(DE, "pattern").bdos(17).bdos(18).bdos(18);
    program.lxi(DE, "rename").bdos(23).lxi(DE, "pattern").bdos(19);
    program.exit();
    program.label("pattern").db({0}).db("???????????").ds(24);
    program.label("rename").db({0}).db("A       TXT").ds(5).db("C       TXT").ds(9);
    return program;
}

// Calls the console status, direct console, version, disk and user functions
// and an undefined one, then waits for a line: the end of input ends the run
// there.
Assembler console() {
    Assembler program;
    program.bdos(11).mvi(E, 0xFF).bdos(6).mvi(E, 'x').bdos(6).bdos(12).bdos(24).bdos(25).bdos(27);
    program.bdos(29).bdos(31).mvi(E, 0xFF).bdos(32).mvi(E, 0xC7).bdos(32).bdos(40).mvi(E, 'y').bdos(2);
    program.bdos(7).mvi(E, 0x42).bdos(8).mvi(E, 'p').bdos(4).mvi(E, 'l').bdos(5).bdos(3);
    program.lxi(DE, "buffer").bdos(10).bdos(1).exit();
    program.label("buffer").db({20}).ds(22);
    return program;
}

// Calls every entry of the BIOS jump vector by its offset and an address
// between them, the console input last.
Assembler bios() {
    Assembler program;
    program.lxi(BC, 0x4000);
    for (unsigned offset : {0x06, 0x0C, 0x0F, 0x12, 0x15, 0x18, 0x1B, 0x1E, 0x21, 0x24, 0x27, 0x2A, 0x2D, 0x30, 0x33,
                            0x00, 0x09})
        program.call(std::uint16_t(kavo::address::bios_vector + offset));
    return program.hlt();
}

// Arithmetic, stack and the undefined opcodes in a loop, then HLT.
Assembler processor() {
    Assembler program;
    program.mvi(B, 200).lxi(HL, 0x1234).label("loop");
    program.mov(A, B).adi(0x99).op(0x27).dad(HL).push(HL).op(0xE3).pop(DE).inx(SP).dcx(SP);
    program.op(0x08).op(0xCB, Word("next")).label("next").op(0xDD, Word("sub")).op(0x37).op(0x1F);
    program.dcr(B).jnz("loop").hlt();
    program.label("sub").op(0xD9);
    return program;
}

// File functions with the DMA buffer and the FCB at the top of memory, and a
// string for function 9 that runs through 0xFFFF.
Assembler top_of_memory() {
    Assembler program;
    program.lxi(DE, 0xFFE0).bdos(26);
    program.lxi(HL, "name").lxi(DE, 0xFFF0).mvi(B, 12).label("copy").mov(A, M).stax(DE).inx(HL).inx(DE).dcr(B).jnz("copy");
    program.lxi(DE, 0xFFF0).bdos(22).lxi(DE, 0xFFF0).bdos(21).lxi(DE, 0xFFF0).bdos(33).lxi(DE, 0xFFF0).bdos(17);
    program.mvi(A, '$').sta(0x0008).lxi(DE, 0xFFF8).bdos(9).exit();
    program.label("name").db({0}).db("TOP     DAT");
    return program;
}

// One operation of the FCB target: the function's index, the FCB and DMA
// addresses, and the FCB's 36 bytes: drive, the 11 name bytes, then EX, CR
// and the random record number in their places; or, with bit 7 of the
// index, the address an FCB is copied or moved from.
struct Operation {
    std::uint8_t function_index;  // into the target's functions, 13 15 16 17 18 19 20 21 22 23 30 33 34 35 36 37
                                  // 40 27 31 32; bit 7 keeps the FCB
    std::uint16_t fcb;
    std::uint16_t dma;
    std::string name = "           ";
    std::string new_name = "           ";
    std::uint8_t extent = 0, current_record = 0;
    std::uint16_t random_record = 0;
    std::uint16_t copied_from = 0;  // with bit 7 of the index: the FCB copied to fcb first, unless 0
    bool moved = false;              // and cleared after the copy
};

std::string encode(std::initializer_list<Operation> operations) {
    std::string bytes;
    for (const Operation& operation : operations) {
        std::string fcb(36, '\0');
        fcb.replace(1, 11, operation.name);
        fcb[12] = char(operation.extent);
        fcb.replace(17, 11, operation.new_name);
        fcb[32] = char(operation.current_record);
        fcb[33] = char(operation.random_record);
        fcb[34] = char(operation.random_record >> 8);
        if (operation.copied_from != 0)
            fcb.replace(0, 3, {char(operation.moved ? 3 : 1), char(operation.copied_from), char(operation.copied_from >> 8)});
        bytes += char(operation.function_index);
        bytes += {char(operation.fcb), char(operation.fcb >> 8), char(operation.dma), char(operation.dma >> 8)};
        bytes += fcb;
    }
    return bytes;
}

constexpr std::uint8_t reset = 0, open = 1, close = 2, search_first = 3, search_next = 4, erase = 5, read_sequential = 6,
                       write_sequential = 7, make = 8, rename = 9, read_random = 11, write_random = 12,
                       allocation_vector = 17, disk_parameters = 18, user_code = 19, keep = 0x80;

const std::string fcb_seeds[] = {
    encode({{make, 0x005C, 0x0080, "NEW     DAT"},
            {write_sequential | keep, 0x005C, 0x0080},
            {write_sequential | keep, 0x005C, 0x0080},
            {close | keep, 0x005C, 0x0080},
            {open, 0x005C, 0x0080, "NEW     DAT"},
            {read_sequential | keep, 0x005C, 0x0080}}),
    encode({{open, 0x1000, 0x0080, "A       TXT"},
            {read_random, 0x1000, 0x0080, "A       TXT", "           ", 0, 0, 2},
            {search_first, 0x2000, 0x3000, "???????????"},
            {search_next, 0x2000, 0x3000},
            {search_next, 0x2000, 0x3000},
            {search_next, 0x2000, 0x3000}}),
    encode({{rename, 0x005C, 0x0080, "A       TXT", "C       TXT"},
            {erase, 0x005C, 0x0080, "????????DAT"},
            {reset, 0x0000, 0x0080}}),
    encode({{make, 0xFFF0, 0xFFE0, "TOP     DAT"},
            {write_random | keep, 0xFFF0, 0xFFE0},
            {read_random | keep, 0xFFF0, 0xFFE0},
            {open, 0xFFE0, 0xFFF0, "LONG    DAT", "           ", 2, 127},
            {read_sequential | keep, 0xFFE0, 0xFFF0}}),
    encode({{open, 0x005C, 0x0080, "..         "},
            {make, 0x005C, 0x0080, "DANGLE  TXT"},
            {open, 0x005C, 0x0080, "PIPE    TXT"},
            {open, 0x005C, 0x0080, "DIR     SUB"},
            {rename, 0x005C, 0x0080, "A       TXT", "../X       "},
            {write_random, 0x005C, 0x0080, "LOWER   COM", "           ", 0, 0, 0xFFFF}}),
    // Open FCBs copied over each other and moved, then written and closed
    // through the copies.
    encode({{open, 0x1000, 0x0080, "A       TXT"},
            {open, 0x2000, 0x0080, "LONG    DAT"},
            {.function_index = read_sequential | keep, .fcb = 0x3000, .dma = 0x0080, .copied_from = 0x1000},
            {.function_index = write_sequential | keep, .fcb = 0x3000, .dma = 0x0080, .copied_from = 0x2000},
            {.function_index = close | keep, .fcb = 0x4000, .dma = 0x0080, .copied_from = 0x3000, .moved = true},
            {write_sequential | keep, 0x3000, 0x0080},
            {close | keep, 0x2000, 0x0080},
            {write_random | keep, 0x1000, 0x0080}}),
    // The disk functions around files made and searched: function 32's E is
    // the FCB address's low byte.
    encode({{make, 0x005C, 0x0080, "NEW     DAT"},
            {write_random | keep, 0x005C, 0x0080},
            {allocation_vector, 0x005C, 0x0080},
            {search_first, 0x2000, 0x3000, "???????????", "           ", '?'},
            {search_next, 0x2000, 0x3000},
            {disk_parameters, 0x2000, 0x3000},
            {user_code, 0x20C8, 0x3000},
            {user_code, 0x20FF, 0x3000}}),
};

// Key streams, after the terminal model's index (0 ansi, 1 adm3a, 2 vt52,
// 3 h19, 4 televideo; plus 5 for WordStar's key profile): xterm, VT220 and
// Linux console keys with and without modifiers, a lone Escape, an unknown
// sequence and a sequence cut short.
const std::string key_seeds[] = {
    "\0a\x1B[A\x1B[1;5B\x1BOP\x1B[15~\x1B[24;3~\x1B[[A\x08\x7F\x1B"s,
    "\0\x1B\x1B[\x1B[1;\x1B[99~\x1BOz\x1B[3;9~\x1B[H\x1B[F"s,
    "\1\x1B[A\x1B[B\x1B[C\x1B[D\x1B[H\x08"s,
    "\2\x1B[A\x1B[D\x1BOP\x1BOS\x1B[3~"s,
    "\3\x1B[H\x1B[11~\x1B[20~\x1B[2~\x08"s,
    "\4\x1B[C\x1B[5~\x1B[6~\x1B[12~\x7F"s,
    "\6\x1B[A\x1B[1;5D\x1B[H\x1B[4~\x1B[3~\x1B[2~\x1B[6~\x08\x1BOP"s,
};

// Program output, after the model's index (0 adm3a, 1 vt52, 2 h19, 3
// televideo) plus 4 times the number of resizes: cursor addresses inside and
// beyond the screen, clears, attributes left on, an unknown Escape, bytes
// with bit 7 and a cut sequence; text past column 80, tabs, a saved cursor;
// then each resize's place (in 256ths of the output), rows and columns: to
// 1 x 1 and back, in the middle of an escape sequence.
const std::string screen_seeds[] = {
    "\0\x1A\x1B=  hi\x1B=\x7F\x7F\x1E\x0B\x0C\x1B" "B0rev\x1B" "C4\x1BQx\xC1\x1B="s,
    "\1\x1BH\x1BJ\x1BY  a\x1BY~~b\x1B" "A\x1B[\x1Bq\x07\x08\t\r\n\x1BY!"s,
    "\2\x1B" "E\x1Bp inverse \x1Bq\x1Bx5\x1By5\x1B@ins\x1BO\x1BY  "s,
    "\3\x1B*\x1B=!!\x1B)\x1B(\x1BT\x1BY\x1B" "E\x1BR\x1BG4\x1BG0\x1B.0\x1B"s,
    "\x0A\x1B" "E\x1BY7k0123456789abcdef\t\tx\x1Bp\x1Bj\x1BY++y\x1Bk\x1B@z\x1BL\n\n\n\x40\x00\x00\xC0\x17\x4F"s,
    "\x04\x1A\x1B=  x\x1B=7oyz\x0B\x0C\x0C\x1B" "B0r\x80\x13\x3B"s,
};

// Console scripts: the terminal's index (0 ansi, 1 adm3a, 2 vt52, 3 h19, 4
// tvi925), the number of requests, the requests (low three bits: 0 function
// 1, 1 function 6 reading, 2 function 6 writing, 3 function 10, 4 function
// 11, 5 BIOS CONST or with bit 3 function 7, 6 BIOS CONIN or with bit 3
// function 3, 7 function 2, 4, 5 or 8 by bits 3-4; for function 10 bits 3-4
// the buffer, 0x0200, the DMA address, 0xFFF0 or 0xFF00, and bits 5-7 its
// room, 0 1 2 5 16 80 127 255), then the script: lines with CR LF, LF and
// none at the end, editing keys (DEL, BS, ^U, ^X, ^R, ^E, ^P), TAB, control
// characters and ^C, and reads past the end of the script.
const std::string console_seeds[] = {
    "\0\x09\xA3\x0D\x1F\x0D\x0E\x4F\x57\xA3\xA3" "garbage\x15" "PIP\r\nz" "ab\x05" "cd\x12\x18" "ef\r\n\x10"
    "x\x15" "y\r\n"s,
    "\0\x08\xA3\x00\x01\x04\x05\x06\x6F\xA3" "DIR A:\r\nab\x08" "c\tx\x7F\n\x01\x7Fyz\n"s,
    "\1\x06\xEB\x73\x1B\x23\xDB\xA3" "\x7F\tq\x7Fw\x01\x1B[A\r\nline\x03more\nabcdefg\x08\x08\x03"s,
    "\2\x0A\x01\x01\x01\x02\x06\x00\x00\xA3\xA3\xA3" "\r\r\n\n\x0D\x0Ax\x80\xFF\x00"s,
    "\3\x04\xA3\xA3\x06\x01" "last line"s,
    "\4\x05\x1B\xDB\x04\x05\xDB" "\x1B=  \x1BH\x07\r\n\x03"s,
};

// Command lines after kavo's name, each argument ended by a zero byte.
const std::string option_seeds[] = {
    "PROG\0a.txt\0b:*.?\0"s,
    "--drive\0B=.\0--drive=C=/\0PROG\0b:x.y\0"s,
    "--help\0"s,
    "--version\0-h\0"s,
    "--\0--drive\0-x\0"s,
    "--bogus\0PROG\0"s,
    "--drive\0Q=.\0PROG\0"s,
    "--help=yes\0--drive\0"s,
    "PROG\0"s + std::string(130, 'w') + "\0c:long.name\0"s,
    "--trace=bdos,cpu\0--trace-from=0x0105\0--trace-count\0" "3\0PROG\0"s,
    "--trace\0cpu\0--trace-file\0trace.log\0--trace-from\0" "0FFC0H\0PROG\0"s,
    "--trace=foo,bdos\0--trace-from=XYZ\0--trace-count=-1\0PROG\0"s,
    "--trace-file=/nonexistent/trace.log\0--trace=bdos\0PROG\0"s,
    "--trace-count=5\0--trace-file=t\0PROG\0"s,
};

// Command processor sessions: the count of commands from the text (low two
// bits; bit 2 writes an empty $$$.SUB), the length of $$$.SUB's contents (low
// byte first) and the contents, then the text: commands, then script lines.
std::string batch_record(const std::string& command, std::size_t length = 128) {
    std::string record = char(command.size()) + command + '\0';
    record.resize(length, 'j');
    return record;
}

std::string session(std::uint8_t flags, const std::string& batch, const std::string& text) {
    return std::string{char(flags), char(batch.size()), char(batch.size() >> 8)} + batch + text;
}

const std::string ccp_seeds[] = {
    session(0, "",
            "DIR\nTYPE ALPHA.TXT\nREN X.TXT=ALPHA.TXT\nDIR *.TXT\nERA *.*\nn\nUSER 3\nDIR\nSAVE 1 S.COM\n"
            "USER 5\nSAVE 1 T.COM\nUSER 0\nERA *.*\ny\nEXIT\n"),
    session(2, "", "GREET\nB:RET x y\nline for greet\nfoo bar\nA:GREET *.* b:c.d\n\x03\nB:\nDIR\n"),
    session(0, batch_record("DIR *.TXT") + batch_record("TYPE B") + batch_record("GREET", 40), "DIR *.TXT\nTAIL\n"),
    session(5, "", std::string(130, 'X') + "\nSAVE 256 A\nUSER 99\nQ:\nDIR \x01\n\x03\nTYPE PIPE.TXT\n"
                   "TYPE DANGLE.TXT\nREN DIR.SUB=B\nERA DIR.SUB\nSAVE 1 RO.TXT\nERA RO.TXT\nREN Y=RO.TXT\n"),
    session(1, batch_record("RET") + "\xF0GREET\x01" + std::string(100, '\x7F') + batch_record("\x1B[2J"),
            "REN B.COM=ALPHA.TXT\nB\nSAVE 2 C.COM\nC\nhello\n"),
};

void write(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

int main(int argument_count, char** argument_vector) {
    if (argument_count != 2)
        return 2;
    const fs::path corpus = argument_vector[1];
    for (const char* target : {"program_image", "fcb", "keys", "screen", "options", "console", "ccp"})
        fs::create_directories(corpus / target);
    const std::pair<const char*, Assembler> programs[] = {
        {"hello", hello()},     {"files", files()},         {"console", console()},
        {"bios", bios()},       {"processor", processor()}, {"top_of_memory", top_of_memory()},
    };
    for (const auto& [name, program] : programs)
        program.write(corpus / "program_image" / name);
    const std::pair<const char*, std::span<const std::string>> byte_seeds[] = {
        {"fcb", fcb_seeds},         {"keys", key_seeds},         {"screen", screen_seeds},
        {"options", option_seeds}, {"console", console_seeds}, {"ccp", ccp_seeds}};
    for (const auto& [target, seeds] : byte_seeds)
        for (std::size_t index = 0; index < seeds.size(); ++index)
            write(corpus / target / std::to_string(index + 1), seeds[index]);
    return 0;
}
