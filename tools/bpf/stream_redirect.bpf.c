// live's XDP program, run by the Linux kernel on the receiving interface: UDP datagrams to the
// stream's port go to live's AF_XDP socket, everything else (GVCP answers included) to the stack.
#include <linux/bpf.h>
#include <linux/if_ether.h>
#include <linux/in.h>
#include <linux/ip.h>
#include <linux/udp.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

struct {
    __uint(type, BPF_MAP_TYPE_XSKMAP);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u32);
} sockets SEC(".maps");

// Entry 0: the stream's UDP port, set by live before the program is attached.
struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u32);
} stream_port SEC(".maps");

SEC("xdp")
int redirect_stream(struct xdp_md* context)
{
    void* data = (void*)(long)context->data;
    void* end = (void*)(long)context->data_end;
    struct ethhdr* ethernet = data;
    if ((void*)(ethernet + 1) > end || ethernet->h_proto != bpf_htons(ETH_P_IP)) {
        return XDP_PASS;
    }
    struct iphdr* ip = (void*)(ethernet + 1);
    // Fragments go to the stack, which reassembles them; the driver counts what it misses.
    if ((void*)(ip + 1) > end || ip->protocol != IPPROTO_UDP || (ip->frag_off & bpf_htons(0x3FFF)) != 0) {
        return XDP_PASS;
    }
    struct udphdr* udp = (void*)ip + ip->ihl * 4;
    __u32 key = 0;
    __u32* port = bpf_map_lookup_elem(&stream_port, &key);
    if ((void*)(udp + 1) > end || port == 0 || bpf_ntohs(udp->dest) != *port) {
        return XDP_PASS;
    }
    return bpf_redirect_map(&sockets, 0, XDP_PASS);
}

char LICENSE[] SEC("license") = "GPL";
