; GREET.COM: asks for a name on the console and greets whoever typed it.
;
; 8080 assembly for CP/M 2.2, in the syntax of Digital Research's ASM.
; examples/greet.cpp holds the same program as bytes, from which the build
; writes GREET.COM, so no assembler is needed to build it.

BDOS    EQU     0005H           ; every system call goes through here
PUTCHR  EQU     2               ; console output of the character in E
PRINT   EQU     9               ; print string at DE, up to the '$'
READLN  EQU     10              ; read an edited line into the buffer at DE
CR      EQU     0DH
LF      EQU     0AH

        ORG     0100H           ; where CP/M loads a .COM program

START:  LXI     D,ASK           ; "What is your name? "
        MVI     C,PRINT
        CALL    BDOS
        LXI     D,LINE          ; the name, with Backspace to correct it
        MVI     C,READLN
        CALL    BDOS
        LXI     D,HELLO         ; Enter returned the carriage: new line, "Hello, "
        MVI     C,PRINT
        CALL    BDOS
        LXI     H,LINE+1        ; HL at the number of characters typed
        MOV     B,M
        MOV     A,B
        ORA     A
        JNZ     NAME
        LXI     D,NOBODY        ; nothing typed
        MVI     C,PRINT
        CALL    BDOS
        JMP     DONE

; The name goes out one character at a time, so that a '$' in it is
; printed like any other character.
NAME:   INX     H               ; HL at the next character
        MOV     E,M
        PUSH    H               ; the BDOS keeps no registers
        PUSH    B
        MVI     C,PUTCHR
        CALL    BDOS
        POP     B
        POP     H
        DCR     B
        JNZ     NAME

DONE:   LXI     D,BANG          ; "!" and a new line
        MVI     C,PRINT
        CALL    BDOS
        JMP     0               ; warm boot: back to CP/M

ASK:    DB      'What is your name? $'
HELLO:  DB      CR,LF,'Hello, $'
NOBODY: DB      'stranger$'
BANG:   DB      '!',CR,LF,'$'

; The line buffer of function 10: its room, then the count, the characters
; and a closing zero that the BDOS fills in.
LINE:   DB      40
        DS      42

        END     START
