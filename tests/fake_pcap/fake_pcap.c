/* Stands in for libpcap's device listing when preloaded into a test interpreter.
 * FAKE_PCAP_ERROR set: pcap_findalldevs fails with that text.
 * Otherwise FAKE_PCAP_DEVICES lists the devices, one per line, "name\tdescription\tflags";
 * "<null>" stands for a null string, and an empty list means no devices.
 * The counters are read back through ctypes. */
#include <pcap/pcap.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int fake_find_calls, fake_free_calls, fake_foreign_frees;

static pcap_if_t devices[8];
static char listing[1024];

static char *field(char **rest) {
    char *text = strsep(rest, "\t");
    return text && strcmp(text, "<null>") == 0 ? NULL : text;
}

int pcap_findalldevs(pcap_if_t **list, char *errbuf) {
    const char *error = getenv("FAKE_PCAP_ERROR"), *wanted = getenv("FAKE_PCAP_DEVICES");
    char *rest = listing;
    int count = 0;
    fake_find_calls++;
    if (error) {
        snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s", error);
        return -1;
    }
    snprintf(listing, sizeof listing, "%s", wanted ? wanted : "");
    memset(devices, 0, sizeof devices);
    for (char *line; rest && *rest && count < 8 && (line = strsep(&rest, "\n")); count++) {
        devices[count].name = field(&line);
        devices[count].description = field(&line);
        devices[count].flags = (bpf_u_int32)strtoul(line ? line : "0", NULL, 0);
        if (count > 0) devices[count - 1].next = &devices[count];
    }
    *list = count ? devices : NULL;
    return 0;
}

void pcap_freealldevs(pcap_if_t *list) {
    fake_free_calls++;
    if (list != devices) fake_foreign_frees++;
}
