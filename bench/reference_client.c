/*
 * reference_client: the smallest client that does what BWCorvane does with a
 * burst of info lines, written straight in C. It is the limit against which
 * the bot's throughput is measured (bench/flood_runner, scripts/bench.sh).
 *
 * Same conversation: it reads "configuration.txt" (account, password, home
 * channel) from its working directory, connects to 127.0.0.1:6112 (or the
 * host and port given as arguments), sends the logon line, waits 5 s, sends
 * "/join <home>\r\n" and then reads the server's lines.
 *
 * Same reading scheme: select with a 1-second timeout on the one socket,
 * recv into a 2048-byte buffer kept between reads, lines cut at LF, the line
 * parsed as the bot parses it (leading decimal id; for ids that carry a user
 * the name and hexadecimal flags words; the text after the first double
 * quote, at most 255 characters, cut at the last double quote).
 *
 * Same output work per line: an info line is appended to the result log
 * "BroodWar.log", opened ("ab") and closed around the line, and printed as
 * "INFO: %s \r\n" on standard output, which is flushed after every line. The
 * bot's standard output is unbuffered, so that nothing is lost when it is
 * ended from outside; flushing per line gives the reference the same one
 * write per line.
 *
 * A channel event prints the channel, waits 2 s and, when the channel's name
 * does not contain the home channel, sends "/join <home> \r\n". The reference
 * has no members list: in its home channel it only goes on reading. It ends
 * when the server closes the connection.
 */
#define _POSIX_C_SOURCE 200809L

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define RECEIVE_BUFFER_SIZE 2048
#define NAME_SIZE 128
#define TEXT_SIZE 256
#define WORD_SIZE 128
#define SEND_SIZE 256

static const char result_log[] = "BroodWar.log";

static int server_socket = -1;
static char account[WORD_SIZE];
static char password[WORD_SIZE];
static char home_channel[WORD_SIZE];

static void pause_ms(unsigned milliseconds) {
  struct timespec remaining;
  remaining.tv_sec = (time_t)(milliseconds / 1000);
  remaining.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
  while (nanosleep(&remaining, &remaining) != 0) {
  }
}

static int send_line(const char *line) {
  size_t length = strlen(line);
  size_t sent = 0;
  while (sent < length) {
    ssize_t result = send(server_socket, line + sent, length - sent, MSG_NOSIGNAL);
    if (result <= 0) return 0;
    sent += (size_t)result;
  }
  return 1;
}

static int read_configuration(void) {
  FILE *file = fopen("configuration.txt", "r");
  int words;
  if (file == NULL) return 0;
  words = fscanf(file, "%127s %127s %127s", account, password, home_channel);
  fclose(file);
  return words == 3;
}

static int carries_text_only(int id) {
  return id == 1007 || id == 1013 || id == 1014 || id == 1015 || id == 1018 || id == 1019;
}

static void parse_event_line(const char *line, int *id, char *name, uint32_t *flags, char *text) {
  const char *quote;
  char *last;
  name[0] = '\0';
  text[0] = '\0';
  *flags = 0;
  *id = (int)strtol(line, NULL, 10);
  if (!carries_text_only(*id)) {
    char keyword[WORD_SIZE];
    unsigned value = 0;
    if (sscanf(line, "%d %127s %127s %x", id, keyword, name, &value) == 4) *flags = value;
  }
  quote = strchr(line, '"');
  if (quote == NULL) return;
  strncpy(text, quote + 1, TEXT_SIZE - 1);
  text[TEXT_SIZE - 1] = '\0';
  last = strrchr(text, '"');
  if (last != NULL) *last = '\0';
}

static void append_result(const char *prefix, const char *text) {
  FILE *log = fopen(result_log, "ab");
  if (log == NULL) return;
  fprintf(log, "%s%s \r\n", prefix, text);
  fclose(log);
}

static void on_channel(const char *text) {
  char line[SEND_SIZE];
  printf("\nJoined Channel %s \r\n", text);
  fflush(stdout);
  pause_ms(2000);
  if (strstr(text, home_channel) != NULL) return;
  if (snprintf(line, sizeof line, "/join %s \r\n", home_channel) >= (int)sizeof line) return;
  send_line(line);
  printf("\n/join %s \n", home_channel);
  fflush(stdout);
}

static void dispatch_event_line(const char *line) {
  char name[NAME_SIZE];
  char text[TEXT_SIZE];
  uint32_t flags;
  int id;
  memset(name, 0, sizeof name);
  memset(text, 0, sizeof text);
  parse_event_line(line, &id, name, &flags, text);
  switch (id) {
    case 1018:
      append_result("", text);
      printf("INFO: %s \r\n", text);
      fflush(stdout);
      break;
    case 1019:
      append_result("ERROR: ", text);
      printf("\nERROR: %s \r\n", text);
      fflush(stdout);
      break;
    case 1007:
      on_channel(text);
      break;
    case 2010:
      printf("\n*** LOGGED ON AS: %s *** \r\n", name);
      fflush(stdout);
      break;
    default:
      break;
  }
}

static void receive_loop(void) {
  char buffer[RECEIVE_BUFFER_SIZE];
  int offset = 0;
  int pending = 0;
  for (;;) {
    fd_set readable;
    struct timeval timeout;
    int room;
    ssize_t received;
    FD_ZERO(&readable);
    FD_SET(server_socket, &readable);
    timeout.tv_sec = 1;
    timeout.tv_usec = 0;
    if (select(server_socket + 1, &readable, NULL, NULL, &timeout) == 0) continue;
    room = RECEIVE_BUFFER_SIZE - pending - offset;
    if (room == 0) {
      memmove(buffer, buffer + offset, (size_t)pending);
      offset = 0;
      room = RECEIVE_BUFFER_SIZE - pending;
    }
    received = recv(server_socket, buffer + offset + pending, (size_t)room, 0);
    if (received <= 0) return;
    pending += (int)received;
    while (pending > 0) {
      char *start = buffer + offset;
      char *end = memchr(start, '\n', (size_t)pending);
      int consumed;
      if (end == NULL) break;
      *end = '\0';
      if (*start >= '0' && *start <= '9') dispatch_event_line(start);
      consumed = (int)(end - start) + 1;
      pending -= consumed;
      offset += consumed;
    }
    if (pending == 0) offset = 0;
  }
}

static int connect_to(const char *host, int port) {
  struct sockaddr_in peer;
  memset(&peer, 0, sizeof peer);
  peer.sin_family = AF_INET;
  peer.sin_port = htons((uint16_t)port);
  if (inet_pton(AF_INET, host, &peer.sin_addr) != 1) return 0;
  server_socket = socket(AF_INET, SOCK_STREAM, 0);
  if (server_socket < 0) return 0;
  return connect(server_socket, (const struct sockaddr *)&peer, sizeof peer) == 0;
}

int main(int argc, char **argv) {
  const char *host = argc > 1 ? argv[1] : "127.0.0.1";
  int port = argc > 2 ? atoi(argv[2]) : 6112;
  char line[SEND_SIZE];
  if (!read_configuration()) {
    fputs("reference_client: cannot read configuration.txt\n", stderr);
    return 1;
  }
  if (port <= 0 || port > 65535 || !connect_to(host, port)) {
    fprintf(stderr, "reference_client: cannot connect to %s port %d\n", host, port);
    return 1;
  }
  if (snprintf(line, sizeof line, "%c%c%s\r\n%s\r\n", 3, 4, account, password) >= (int)sizeof line) {
    return 1;
  }
  send_line(line);
  pause_ms(5000);
  if (snprintf(line, sizeof line, "/join %s\r\n", home_channel) >= (int)sizeof line) return 1;
  send_line(line);
  receive_loop();
  close(server_socket);
  return 0;
}
