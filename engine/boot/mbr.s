# Master boot record code: the firmware loads it at 0x7C00 with the boot drive in DL.
# It moves itself to 0x0600, finds the one active entry of the partition table, loads that
# partition's first sector to 0x7C00 and jumps to it with DL = drive and DS:SI = the entry, as
# boot sectors expect. The sector is read by its LBA address where the firmware offers the
# extended disk services (a start beyond CHS reach is then still found), else by its CHS
# address. Linked at 0x0600; at most 440 bytes, the rest of
# the sector (disk signature, table, 0x55 0xAA) is filled in by the engine.

    .code16
    .intel_syntax noprefix
    .text
    .globl _start

    .set LOAD_ADDRESS, 0x7C00
    .set RUN_ADDRESS, 0x0600
    .set TABLE, RUN_ADDRESS + 446
    .set ENTRY_SIZE, 16
    .set STATUS_ACTIVE, 0x80
    .set SIGNATURE, 0xAA55
    .set READ_ATTEMPTS, 5

_start:
    cli
    xor ax, ax
    mov ss, ax
    mov sp, LOAD_ADDRESS
    mov ds, ax
    mov es, ax
    sti
    cld
    mov si, LOAD_ADDRESS
    mov di, RUN_ADDRESS
    mov cx, 256
    rep movsw
    jmp 0:relocated              # continue in the copy, so the chosen sector can go to 0x7C00

relocated:
    mov byte ptr [drive], dl

    # Exactly one entry may be active; any status but 0x00 and 0x80 is a broken table.
    mov si, TABLE
    xor bp, bp
    mov cx, 4
scan:
    mov al, byte ptr [si]
    cmp al, STATUS_ACTIVE
    je active
    test al, al
    jnz invalid
    jmp next
active:
    test bp, bp
    jnz invalid
    mov bp, si
next:
    add si, ENTRY_SIZE
    loop scan

    test bp, bp
    jnz load
    int 0x18                     # nothing to boot here: back to the firmware
    jmp halt

load:
    mov byte ptr [attempts], READ_ATTEMPTS
read:
    mov ah, 0x41                 # extended disk services present?
    mov bx, 0x55AA
    mov dl, byte ptr [drive]
    int 0x13
    jc read_chs
    cmp bx, 0xAA55
    jne read_chs
    test cl, 1
    jz read_chs
    mov eax, dword ptr [bp + 8]  # start sector of the entry
    mov dword ptr [dap_lba], eax
    mov si, offset dap
    mov ah, 0x42
    mov dl, byte ptr [drive]
    int 0x13
    jnc loaded
    jmp retry
read_chs:
    mov dh, byte ptr [bp + 1]    # head
    mov cx, word ptr [bp + 2]    # CL = sector and cylinder bits 8-9, CH = cylinder bits 0-7
    mov dl, byte ptr [drive]
    mov bx, LOAD_ADDRESS
    mov ax, 0x0201               # read one sector
    int 0x13
    jnc loaded
retry:
    xor ax, ax                   # reset the disk system before the next attempt
    mov dl, byte ptr [drive]
    int 0x13
    dec byte ptr [attempts]
    jnz read
    mov si, offset msg_load
    jmp fail

loaded:
    cmp word ptr [LOAD_ADDRESS + 510], SIGNATURE
    jne missing
    mov si, bp
    mov dl, byte ptr [drive]
    jmp 0:LOAD_ADDRESS

invalid:
    mov si, offset msg_invalid
    jmp fail
missing:
    mov si, offset msg_missing
fail:
    lodsb
    test al, al
    jz halt
    mov ah, 0x0E                 # teletype output
    mov bx, 0x0007
    int 0x10
    jmp fail
halt:
    hlt
    jmp halt

msg_invalid: .asciz "Invalid partition table"
msg_load:    .asciz "Error loading operating system"
msg_missing: .asciz "Missing operating system"
    .balign 4
dap:                             # disk address packet of the extended read
    .byte 16, 0
    .word 1                      # one sector
    .word LOAD_ADDRESS, 0        # to 0000:7C00
dap_lba:
    .long 0, 0
drive:       .byte 0
attempts:    .byte 0
