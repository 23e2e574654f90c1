// The analytics service's script hosts for plain HTTP and for HTTPS, shared
// by the block's texts and the markers that recognise a block already there.
#ifndef TAGSMITH_TAGGING_SCRIPT_HOSTS_H_
#define TAGSMITH_TAGGING_SCRIPT_HOSTS_H_

#define TAGSMITH_PLAIN_HOST "www.google-analytics.com"
#define TAGSMITH_SECURE_HOST "ssl.google-analytics.com"

#endif  // TAGSMITH_TAGGING_SCRIPT_HOSTS_H_
