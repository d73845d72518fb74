// make_greet: writes GREET.COM, the greeter of greet.asm, from the bytes that its instructions assemble to.
#include <cstdio>
#include <fstream>

namespace {

// Each line: address, the bytes, and the instruction or data of greet.asm.
const unsigned char greeter[] = {
    0x11, 0x46, 0x01,  // 0100 START:  LXI D,ASK
    0x0E, 0x09,        // 0103         MVI C,PRINT
    0xCD, 0x05, 0x00,  // 0105         CALL BDOS
    0x11, 0x71, 0x01,  // 0108         LXI D,LINE
    0x0E, 0x0A,        // 010B         MVI C,READLN
    0xCD, 0x05, 0x00,  // 010D         CALL BDOS
    0x11, 0x5A, 0x01,  // 0110         LXI D,HELLO
    0x0E, 0x09,        // 0113         MVI C,PRINT
    0xCD, 0x05, 0x00,  // 0115         CALL BDOS
    0x21, 0x72, 0x01,  // 0118         LXI H,LINE+1
    0x46,              // 011B         MOV B,M
    0x78,              // 011C         MOV A,B
    0xB7,              // 011D         ORA A
    0xC2, 0x2C, 0x01,  // 011E         JNZ NAME
    0x11, 0x64, 0x01,  // 0121         LXI D,NOBODY
    0x0E, 0x09,        // 0124         MVI C,PRINT
    0xCD, 0x05, 0x00,  // 0126         CALL BDOS
    0xC3, 0x3B, 0x01,  // 0129         JMP DONE
    0x23,              // 012C NAME:   INX H
    0x5E,              // 012D         MOV E,M
    0xE5,              // 012E         PUSH H
    0xC5,              // 012F         PUSH B
    0x0E, 0x02,        // 0130         MVI C,PUTCHR
    0xCD, 0x05, 0x00,  // 0132         CALL BDOS
    0xC1,              // 0135         POP B
    0xE1,              // 0136         POP H
    0x05,              // 0137         DCR B
    0xC2, 0x2C, 0x01,  // 0138         JNZ NAME
    0x11, 0x6D, 0x01,  // 013B DONE:   LXI D,BANG
    0x0E, 0x09,        // 013E         MVI C,PRINT
    0xCD, 0x05, 0x00,  // 0140         CALL BDOS
    0xC3, 0x00, 0x00,  // 0143         JMP 0
    'W', 'h', 'a', 't', ' ', 'i', 's', ' ', 'y', 'o',  // 0146 ASK:    DB 'What is your name? $'
    'u', 'r', ' ', 'n', 'a', 'm', 'e', '?', ' ', '$',  //
    0x0D, 0x0A, 'H', 'e', 'l', 'l', 'o', ',', ' ', '$',  // 015A HELLO:  DB CR,LF,'Hello, $'
    's', 't', 'r', 'a', 'n', 'g', 'e', 'r', '$',  // 0164 NOBODY: DB 'stranger$'
    '!', 0x0D, 0x0A, '$',  // 016D BANG:   DB '!',CR,LF,'$'
    40,                    // 0171 LINE:   DB 40; its DS 42 lies beyond the file, in memory zeroed at load
};

}  // namespace

int main(int argument_count, char** argument_vector) {
    if (argument_count != 2) {
        std::fprintf(stderr, "usage: make_greet OUTPUT\n");
        return 2;
    }
    std::ofstream output(argument_vector[1], std::ios::binary);
    output.write(reinterpret_cast<const char*>(greeter), sizeof greeter);
    output.close();
    if (!output) {
        std::fprintf(stderr, "make_greet: cannot write %s\n", argument_vector[1]);
        return 1;
    }
    return 0;
}
