/* Holds every packet of one netfilter queue for a fixed time, then accepts it:
 * a network delay for loopback, where no delaying queue discipline is at hand.
 *
 *   nfq_delay QUEUE DELAY_MS
 *
 * Feed it with iptables rules such as
 *   iptables -A OUTPUT -p tcp -d 127.50.0.0/16 --dport 37 -j NFQUEUE --queue-num 1 --queue-bypass
 *   iptables -A OUTPUT -p tcp -s 127.50.0.0/16 --sport 37 -j NFQUEUE --queue-num 1 --queue-bypass
 * Loopback packets pass OUTPUT once, so queuing both directions there delays
 * each direction once: a round trip takes twice DELAY_MS.
 *
 * The delay is the same for every packet, so packets leave in arrival order
 * and a ring of pending verdicts is all the bookkeeping needed. Prints "ready"
 * once the queue is bound; on SIGTERM or SIGINT it lets every held packet go
 * and ends.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <libnfnetlink/libnfnetlink.h>
#include <linux/netfilter.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define RING_SIZE 8192 /* far above what a few hundred connections keep in flight */

struct held {
  uint32_t id;
  int64_t releaseNs;
};

static struct held ring[RING_SIZE];
static unsigned ringHead, ringCount;
static int64_t delayNs;
static unsigned long dropped;
static volatile sig_atomic_t stopping;

static int64_t nowNs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static int onPacket(struct nfq_q_handle* queue, struct nfgenmsg* message, struct nfq_data* data,
                    void* context) {
  (void)message;
  (void)context;
  struct nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(data);
  if (header == NULL) return 0;
  uint32_t id = ntohl(header->packet_id);
  if (ringCount == RING_SIZE) {
    /* Never expected; better a late packet than a lost one. */
    ++dropped;
    return nfq_set_verdict(queue, id, NF_ACCEPT, 0, NULL);
  }
  ring[(ringHead + ringCount) % RING_SIZE].id = id;
  ring[(ringHead + ringCount) % RING_SIZE].releaseNs = nowNs() + delayNs;
  ++ringCount;
  return 0;
}

static void releaseDue(struct nfq_q_handle* queue, int all) {
  int64_t now = nowNs();
  while (ringCount > 0 && (all || ring[ringHead].releaseNs <= now)) {
    nfq_set_verdict(queue, ring[ringHead].id, NF_ACCEPT, 0, NULL);
    ringHead = (ringHead + 1) % RING_SIZE;
    --ringCount;
  }
}

static void onSignal(int sig) {
  (void)sig;
  stopping = 1;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: nfq_delay QUEUE DELAY_MS\n");
    return 2;
  }
  int queueNumber = atoi(argv[1]);
  delayNs = (int64_t)atoi(argv[2]) * 1000000;

  struct nfq_handle* handle = nfq_open();
  if (handle == NULL) {
    perror("nfq_open");
    return 1;
  }
  nfq_unbind_pf(handle, AF_INET);
  if (nfq_bind_pf(handle, AF_INET) < 0) {
    perror("nfq_bind_pf");
    return 1;
  }
  struct nfq_q_handle* queue = nfq_create_queue(handle, (uint16_t)queueNumber, onPacket, NULL);
  if (queue == NULL) {
    perror("nfq_create_queue");
    return 1;
  }
  /* Only the packet id is needed, never the payload. */
  if (nfq_set_mode(queue, NFQNL_COPY_META, 0) < 0) {
    perror("nfq_set_mode");
    return 1;
  }
  nfq_set_queue_maxlen(queue, RING_SIZE);
  nfnl_rcvbufsiz(nfq_nfnlh(handle), 4 * 1024 * 1024);

  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = onSignal;
  sigaction(SIGTERM, &action, NULL);
  sigaction(SIGINT, &action, NULL);

  int fd = nfq_fd(handle);
  printf("ready\n");
  fflush(stdout);

  char buffer[65536] __attribute__((aligned));
  while (!stopping) {
    struct pollfd pfd = {fd, POLLIN, 0};
    struct timespec wait = {1, 0};
    if (ringCount > 0) {
      int64_t left = ring[ringHead].releaseNs - nowNs();
      if (left < 0) left = 0;
      wait.tv_sec = (time_t)(left / 1000000000);
      wait.tv_nsec = (long)(left % 1000000000);
    }
    int ready = ppoll(&pfd, 1, &wait, NULL);
    if (ready > 0 && (pfd.revents & POLLIN)) {
      /* Take everything the kernel has queued before handing out verdicts. */
      for (;;) {
        ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0) {
          if (errno == ENOBUFS) {
            fprintf(stderr, "nfq_delay: receive buffer overrun\n");
            continue;
          }
          break;
        }
        nfq_handle_packet(handle, buffer, (int)got);
      }
    }
    releaseDue(queue, 0);
  }
  releaseDue(queue, 1);
  if (dropped) fprintf(stderr, "nfq_delay: %lu packets passed undelayed\n", dropped);
  nfq_destroy_queue(queue);
  nfq_close(handle);
  return 0;
}
