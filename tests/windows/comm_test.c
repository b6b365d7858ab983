/* A Windows program on the emulated port: the communications API step by
 * step, each step one line ("ok" or "FAIL", what it saw), a count at the end,
 * and a failing exit status when any step failed.
 *
 * usage: comm_test COMn loopback   the loopback plug at the far end
 *        comm_test COMn far        tests/windows/far_end.py at the far end,
 *                                  which echoes what it gets and obeys the
 *                                  commands sent to it ("#c\r": drop RTS...)
 *
 * Built with the x86_64 MinGW-w64 cross compiler; run under Wine with the
 * port's pseudo-terminal as dosdevices/comN (tests/windows/run.py). Where
 * Wine answers otherwise than Windows would, a step accepts both and says
 * which it saw. */
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static HANDLE port;
static char port_path[32];
static int steps, failures;
static const char* wine; /* Wine's version, when it runs the program */

static void step(BOOL ok, const char* name, const char* format, ...) {
    va_list ap;
    ++steps;
    if (!ok) ++failures;
    printf("%-4s %s: ", ok ? "ok" : "FAIL", name);
    va_start(ap, format);
    vprintf(format, ap);
    va_end(ap);
    printf("\n");
    fflush(stdout);
}

static BOOL open_port(void) {
    port = CreateFileA(port_path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    return port != INVALID_HANDLE_VALUE;
}

/* One overlapped call finished within `ms`: its byte count, or -1 (the call
 * is cancelled); `error` gets the call's error, 0 on success. */
static long finish(OVERLAPPED* o, BOOL started, DWORD ms, DWORD* error) {
    DWORD n = 0;
    *error = 0;
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        *error = GetLastError();
        return 0;
    }
    if (WaitForSingleObject(o->hEvent, ms) != WAIT_OBJECT_0) {
        CancelIo(port);
        GetOverlappedResult(port, o, &n, TRUE);
        return -1;
    }
    if (!GetOverlappedResult(port, o, &n, FALSE)) *error = GetLastError();
    return (long)n;
}

static long write_bytes(const void* data, DWORD size, DWORD ms, DWORD* error) {
    OVERLAPPED o = {0};
    o.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    const long n = finish(&o, WriteFile(port, data, size, NULL, &o), ms, error);
    CloseHandle(o.hEvent);
    return n;
}

static long read_bytes(void* data, DWORD size, DWORD ms, DWORD* error) {
    OVERLAPPED o = {0};
    o.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    const long n = finish(&o, ReadFile(port, data, size, NULL, &o), ms, error);
    CloseHandle(o.hEvent);
    return n;
}

/* Reads until `size` bytes came or `ms` passed, with reads that return what
 * is there after a pause of 20 ms. */
static DWORD read_all(char* data, DWORD size, DWORD ms) {
    COMMTIMEOUTS t = {20, 0, 0, 0, 0};
    DWORD got = 0, error;
    const DWORD end = GetTickCount() + ms;
    SetCommTimeouts(port, &t);
    while (got < size && (LONG)(end - GetTickCount()) > 0) {
        const long n = read_bytes(data + got, size - got, 1000, &error);
        if (n > 0) got += (DWORD)n;
        if (n <= 0) Sleep(10);
    }
    return got;
}

static BOOL round_trip(const char* text) {
    char back[256];
    DWORD error;
    const DWORD n = (DWORD)strlen(text);
    if (write_bytes(text, n, 5000, &error) != (long)n) return FALSE;
    return read_all(back, n, 5000) == n && memcmp(back, text, n) == 0;
}

/* Sends a command to the far end's program (tests/windows/far_end.py). */
static void tell_far(const char* command) {
    char text[16];
    DWORD error;
    snprintf(text, sizeof text, "#%s\r", command);
    write_bytes(text, (DWORD)strlen(text), 5000, &error);
}

static BOOL set_line(DWORD rate, BYTE bits, BYTE parity, BYTE stop, int flow) {
    DCB dcb = {0};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) return FALSE;
    dcb.BaudRate = rate;
    dcb.ByteSize = bits;
    dcb.Parity = parity;
    dcb.fParity = parity != NOPARITY;
    dcb.StopBits = stop;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = flow == 'h';
    dcb.fRtsControl = flow == 'h' ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = flow == 'x';
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 512;
    dcb.XoffLim = 512;
    return SetCommState(port, &dcb);
}

/* The DCB read back, as one line. */
static void describe(char* out, size_t size, const DCB* d) {
    static const char parities[] = "NOEMS";
    static const char* const stops[] = {"1", "1.5", "2"};
    snprintf(out, size, "%lu %u%c%s%s%s", (unsigned long)d->BaudRate, d->ByteSize,
             d->Parity < 5 ? parities[d->Parity] : '?', d->StopBits < 3 ? stops[d->StopBits] : "?",
             d->fOutxCtsFlow ? ", flow hardware" : "",
             d->fOutX && d->fInX ? ", flow xon" : "");
}

static void line_step(DWORD rate, BYTE bits, BYTE parity, BYTE stop, int flow, const char* expected) {
    DCB d = {0};
    char seen[64], name[64];
    d.DCBlength = sizeof d;
    const BOOL set = set_line(rate, bits, parity, stop, flow);
    const BOOL read = GetCommState(port, &d);
    describe(seen, sizeof seen, &d);
    snprintf(name, sizeof name, "SetCommState %s", expected);
    /* Wine sets a rate termios cannot name as a custom divisor, which
     * B38400 then stands for, and reads B38400 back, as Linux reports it. */
    const BOOL custom = wine && rate == 250000 && strncmp(seen, "38400 ", 6) == 0 &&
                        strcmp(seen + 6, expected + 7) == 0;
    step(set && read && (strcmp(seen, expected) == 0 || custom), name, "GetCommState reads back %s%s", seen,
         custom ? " (Wine's custom divisor: the chip runs at the rate asked for)" : "");
    snprintf(name, sizeof name, "data at %s", expected);
    step(round_trip(bits == 7 ? "seven bits, parity and all" : "hello through the adapter"), name,
         "the text came back whole");
}

static DWORD modem(void) {
    DWORD status = 0;
    GetCommModemStatus(port, &status);
    return status;
}

static void lines_text(char* out, size_t size, DWORD s) {
    snprintf(out, size, "CTS %s, DSR %s, RLSD %s, RING %s", s & MS_CTS_ON ? "on" : "off", s & MS_DSR_ON ? "on" : "off",
             s & MS_RLSD_ON ? "on" : "off", s & MS_RING_ON ? "on" : "off");
}

/* Waits for one of `mask` while `cause` acts: the events seen, 0 for none
 * within `ms`. */
static DWORD wait_error;

static DWORD wait_event(DWORD mask, void (*cause)(void), DWORD ms) {
    OVERLAPPED o = {0};
    DWORD events = 0, n;
    SetCommMask(port, mask);
    o.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    const BOOL started = WaitCommEvent(port, &events, &o);
    wait_error = started ? 0 : GetLastError();
    if (cause) cause();
    if (!started && wait_error != ERROR_IO_PENDING) {
        events = 0;
    } else if (started) {
        /* done at once */
    } else if (WaitForSingleObject(o.hEvent, ms) != WAIT_OBJECT_0) {
        SetCommMask(port, 0); /* ends the wait */
        GetOverlappedResult(port, &o, &n, TRUE);
        events = 0;
    } else if (!GetOverlappedResult(port, &o, &n, FALSE)) {
        events = 0;
    }
    CloseHandle(o.hEvent);
    SetCommMask(port, 0);
    return events;
}

static void clr_rts(void) { EscapeCommFunction(port, CLRRTS); }
static void clr_dtr(void) { EscapeCommFunction(port, CLRDTR); }
static void send_x(void) {
    DWORD error;
    write_bytes("x", 1, 1000, &error);
}
static void send_block(void) {
    static char block[200];
    DWORD error;
    memset(block, 'b', sizeof block);
    write_bytes(block, sizeof block, 5000, &error);
}
static void pulse_break(void) {
    EscapeCommFunction(port, SETBREAK);
    Sleep(100);
    EscapeCommFunction(port, CLRBREAK);
}
static void far_drops_rts(void) { tell_far("c"); }
static void far_drops_dtr(void) { tell_far("d"); }
static void far_rings(void) { tell_far("r"); }
static void far_breaks(void) { tell_far("b"); }
static void far_misframes(void) { tell_far("f"); }

static void event_step(const char* name, DWORD mask, void (*cause)(void), DWORD want) {
    const DWORD start = GetTickCount();
    const DWORD events = wait_event(mask, cause, 5000);
    const BOOL ok = (events & want) == want;
    step(ok, name, "events 0x%04lx after %lu ms", (unsigned long)events, (unsigned long)(GetTickCount() - start));
    if (!ok && wait_error != ERROR_IO_PENDING) printf("     WaitCommEvent failed: error %lu\n", (unsigned long)wait_error);
}

/* The timeouts: an interval that ends a read after a pause, a total that
 * ends one that gets nothing, and "return at once". */
static void timeout_steps(void) {
    char buffer[100];
    DWORD error, start;
    long n;
    COMMTIMEOUTS t = {50, 0, 0, 0, 0};
    SetCommTimeouts(port, &t);
    write_bytes("12345", 5, 1000, &error);
    Sleep(100);
    start = GetTickCount();
    n = read_bytes(buffer, sizeof buffer, 3000, &error);
    step(n == 5, "SetCommTimeouts interval 50 ms", "a read of 100 returned %ld bytes after %lu ms", n,
         (unsigned long)(GetTickCount() - start));
    COMMTIMEOUTS total = {0, 0, 300, 0, 0};
    SetCommTimeouts(port, &total);
    start = GetTickCount();
    n = read_bytes(buffer, sizeof buffer, 3000, &error);
    const DWORD took = GetTickCount() - start;
    step(n == 0 && took >= 250 && took < 2000 && (error == 0 || (wine && error == ERROR_TIMEOUT)),
         "SetCommTimeouts total 300 ms",
         "nothing came: %ld bytes after %lu ms, %s", n, (unsigned long)took,
         error == ERROR_TIMEOUT ? "ERROR_TIMEOUT (Wine's answer)" : "success (Windows' answer)");
    /* Wine's server gives an overlapped read no time-out at all with these
     * (a synchronous one returns at once): there it waits for a byte. */
    COMMTIMEOUTS now = {MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(port, &now);
    start = GetTickCount();
    n = read_bytes(buffer, sizeof buffer, 1000, &error);
    step((n == 0 && GetTickCount() - start < 200) || (wine && n == -1), "SetCommTimeouts return at once", "%s",
         n == 0 ? "nothing, at once (Windows' answer)" : "the overlapped read waited for a byte (Wine's answer)");
}

static void status_text(char* out, size_t size, const COMSTAT* s, DWORD errors) {
    snprintf(out, size, "in %lu, out %lu, errors 0x%lx%s%s%s", (unsigned long)s->cbInQue, (unsigned long)s->cbOutQue,
             (unsigned long)errors, errors & CE_BREAK ? " CE_BREAK" : "", errors & CE_FRAME ? " CE_FRAME" : "",
             errors & CE_OVERRUN ? " CE_OVERRUN" : "");
}

/* ClearCommError after a line event: the error bit Windows would set, or
 * none, as Wine's serial layer never reports them. */
static void error_step(const char* name, DWORD bit) {
    COMSTAT s = {0};
    DWORD errors = 0;
    char text[96];
    const BOOL ok = ClearCommError(port, &errors, &s);
    status_text(text, sizeof text, &s, errors);
    step(ok && ((errors & bit) || (wine && errors == 0)), name, "%s (%s)", text,
         (errors & bit) ? "as Windows reports it" : "Wine's serial layer reports no line errors");
}

static void queue_steps(void) {
    char block[1000];
    COMSTAT s = {0};
    DWORD errors = 0, error;
    char text[96];
    memset(block, 'q', sizeof block);
    set_line(9600, 8, NOPARITY, ONESTOPBIT, 0);
    PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    write_bytes(block, sizeof block, 5000, &error);
    ClearCommError(port, &errors, &s);
    status_text(text, sizeof text, &s, errors);
    step(s.cbOutQue > 500, "ClearCommError while 1,000 bytes go out at 9,600", "%s", text);
    Sleep(1500);
    ClearCommError(port, &errors, &s);
    status_text(text, sizeof text, &s, errors);
    step(s.cbOutQue == 0 && s.cbInQue == sizeof block, "ClearCommError once they came back", "%s", text);
    PurgeComm(port, PURGE_RXCLEAR);
    ClearCommError(port, &errors, &s);
    COMMTIMEOUTS brief = {0, 0, 200, 0, 0};
    SetCommTimeouts(port, &brief);
    const long n = read_bytes(block, sizeof block, 1000, &error);
    step(s.cbInQue == 0 && n == 0, "PurgeComm PURGE_RXCLEAR", "in %lu afterwards, a read got %ld bytes",
         (unsigned long)s.cbInQue, n);
}

static void flush_step(void) {
    char block[480];
    DWORD error;
    memset(block, 'f', sizeof block);
    const DWORD start = GetTickCount();
    write_bytes(block, sizeof block, 5000, &error);
    const BOOL flushed = FlushFileBuffers(port);
    const DWORD took = GetTickCount() - start;
    step(flushed && took >= 450, "FlushFileBuffers", "returned after %lu ms (480 bytes take 500 ms at 9,600)",
         (unsigned long)took);
    read_all(block, sizeof block, 2000); /* the echo */
}

static void transmit_char_step(void) {
    char back = 0;
    const BOOL sent = TransmitCommChar(port, 'Z');
    const BOOL came = read_all(&back, 1, 3000) == 1;
    step(sent && came && back == 'Z', "TransmitCommChar", "'%c' came back", came ? back : '?');
}

static void loopback_steps(void) {
    char text[96];
    DWORD s;
    EscapeCommFunction(port, CLRDTR);
    Sleep(100);
    s = modem();
    lines_text(text, sizeof text, s);
    step(!(s & (MS_DSR_ON | MS_RLSD_ON)), "EscapeCommFunction CLRDTR", "%s (the plug wires DTR to DSR and DCD)", text);
    EscapeCommFunction(port, SETDTR);
    EscapeCommFunction(port, CLRRTS);
    Sleep(100);
    s = modem();
    lines_text(text, sizeof text, s);
    step((s & (MS_DSR_ON | MS_RLSD_ON)) == (MS_DSR_ON | MS_RLSD_ON) && !(s & MS_CTS_ON),
         "EscapeCommFunction SETDTR, CLRRTS", "%s", text);
    EscapeCommFunction(port, SETRTS);
    Sleep(100);
    event_step("WaitCommEvent EV_CTS", EV_CTS, clr_rts, EV_CTS);
    EscapeCommFunction(port, SETRTS);
    Sleep(100);
    event_step("WaitCommEvent EV_DSR, EV_RLSD", EV_DSR | EV_RLSD, clr_dtr, EV_DSR | EV_RLSD);
    EscapeCommFunction(port, SETDTR);
    Sleep(100);
    event_step("WaitCommEvent EV_RXCHAR", EV_RXCHAR, send_x, EV_RXCHAR);
    read_all(text, 1, 1000);
    const DWORD start = GetTickCount();
    send_block();
    const DWORD events = wait_event(EV_TXEMPTY, NULL, 5000);
    const DWORD took = GetTickCount() - start;
    step((events & EV_TXEMPTY) && took >= 150, "WaitCommEvent EV_TXEMPTY",
         "events 0x%04lx after %lu ms (200 bytes take 208 ms at 9,600)", (unsigned long)events, (unsigned long)took);
    Sleep(100);
    PurgeComm(port, PURGE_RXCLEAR);
    event_step("WaitCommEvent EV_BREAK", EV_BREAK, pulse_break, EV_BREAK);
    error_step("ClearCommError after the break", CE_BREAK);
}

static void far_steps(void) {
    char text[96];
    DWORD s;
    step(round_trip("to the far end and back"), "data through the far end", "its echo came back whole");
    s = modem();
    lines_text(text, sizeof text, s);
    step((s & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON)) == (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON), "GetCommModemStatus",
         "%s", text);
    event_step("WaitCommEvent EV_CTS (the far end drops RTS)", EV_CTS, far_drops_rts, EV_CTS);
    tell_far("C");
    event_step("WaitCommEvent EV_DSR, EV_RLSD (the far end drops DTR)", EV_DSR | EV_RLSD, far_drops_dtr,
               EV_DSR | EV_RLSD);
    tell_far("D");
    event_step("WaitCommEvent EV_RING (the far end rings)", EV_RING, far_rings, EV_RING);
    Sleep(300);
    event_step("WaitCommEvent EV_BREAK (the far end sends a break)", EV_BREAK, far_breaks, EV_BREAK);
    error_step("ClearCommError after the far end's break", CE_BREAK);
    PurgeComm(port, PURGE_RXCLEAR);
    event_step("WaitCommEvent EV_ERR (the far end sends 7E1 against 8N1)", EV_ERR, far_misframes, EV_ERR);
    error_step("ClearCommError after the framing errors", CE_FRAME);
    Sleep(300);
    PurgeComm(port, PURGE_RXCLEAR);

    /* Flow control from the DCB, held by the far end for a second. */
    static const struct {
        int flow;
        const char* command;
        const char* name;
    } holds[] = {{'x', "x", "XON/XOFF: the far end sends XOFF, XON a second later"},
                 {'h', "h", "hardware: the far end drops RTS for a second"}};
    for (int i = 0; i < 2; ++i) {
        char block[20];
        DWORD error;
        memset(block, 'h', sizeof block);
        set_line(9600, 8, NOPARITY, ONESTOPBIT, holds[i].flow);
        tell_far(holds[i].command);
        Sleep(200);
        const DWORD start = GetTickCount();
        write_bytes(block, sizeof block, 5000, &error);
        FlushFileBuffers(port);
        const DWORD took = GetTickCount() - start;
        step(took >= 600, holds[i].name, "20 bytes took %lu ms to go out", (unsigned long)took);
        read_all(block, sizeof block, 3000);
    }
    set_line(9600, 8, NOPARITY, ONESTOPBIT, 0);

    /* The far end leaves while the port is closed: the port opens again
     * with no lines, and sees them come when the far end returns. */
    tell_far("q");
    Sleep(500);
    CloseHandle(port);
    Sleep(500);
    if (!open_port()) {
        step(FALSE, "reopen after the far end left", "CreateFile failed: %lu", (unsigned long)GetLastError());
        return;
    }
    set_line(9600, 8, NOPARITY, ONESTOPBIT, 0);
    Sleep(300);
    s = modem();
    lines_text(text, sizeof text, s);
    step(!(s & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON)), "reopen after the far end left", "%s", text);
    event_step("WaitCommEvent EV_CTS as the far end returns", EV_CTS, NULL, EV_CTS);
}

int main(int argc, char** argv) {
    if (argc != 3 || (strcmp(argv[2], "loopback") != 0 && strcmp(argv[2], "far") != 0)) {
        fprintf(stderr, "usage: comm_test COMn loopback|far\n");
        return 2;
    }
    const BOOL with_far_end = strcmp(argv[2], "far") == 0;
    const char* (*wine_version)(void) =
        (const char* (*)(void))(void (*)(void))GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version");
    wine = wine_version ? wine_version() : NULL;
    printf("on %s%s\n", wine ? "Wine " : "Windows", wine ? wine : "");
    snprintf(port_path, sizeof port_path, "\\\\.\\%s", argv[1]);
    step(open_port(), "CreateFile", "%s (error %lu)", argv[1], (unsigned long)GetLastError());
    if (port == INVALID_HANDLE_VALUE) return 1;
    step(SetupComm(port, 4096, 4096), "SetupComm", "4,096 bytes each way");
    line_step(115200, 8, NOPARITY, ONESTOPBIT, 0, "115200 8N1");
    line_step(9600, 7, EVENPARITY, ONESTOPBIT, 0, "9600 7E1");
    line_step(19200, 8, NOPARITY, TWOSTOPBITS, 0, "19200 8N2");
    line_step(250000, 8, NOPARITY, ONESTOPBIT, 0, "250000 8N1");
    line_step(57600, 8, ODDPARITY, ONESTOPBIT, 'h', "57600 8O1, flow hardware");
    line_step(38400, 8, NOPARITY, ONESTOPBIT, 'x', "38400 8N1, flow xon");
    set_line(9600, 8, NOPARITY, ONESTOPBIT, 0);
    timeout_steps();
    transmit_char_step();
    flush_step();
    if (with_far_end) {
        far_steps();
    } else {
        loopback_steps();
        queue_steps();
    }
    CloseHandle(port);
    printf("%d steps, %d failed\n", steps, failures);
    return failures ? 1 : 0;
}
