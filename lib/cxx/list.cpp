// The links behind std::list: the C++ library's headers keep these steps out of line. Each
// node links to the next and the previous; a list's header node closes the ring (an empty
// list's header links to itself).
namespace std::__detail {

struct _List_node_base {
    _List_node_base *_M_next;
    _List_node_base *_M_prev;

    static void swap(_List_node_base &x, _List_node_base &y) noexcept;
    void _M_transfer(_List_node_base *first, _List_node_base *last) noexcept;
    void _M_reverse() noexcept;
    void _M_hook(_List_node_base *position) noexcept;
    void _M_unhook() noexcept;
};

namespace {

// Makes header the ring of the nodes from first to last, or an empty ring.
void close_ring(_List_node_base &header, _List_node_base *first, _List_node_base *last) {
    header._M_next = first;
    header._M_prev = last;
    first->_M_prev = last->_M_next = &header;
}

} // namespace

void _List_node_base::swap(_List_node_base &x, _List_node_base &y) noexcept {
    _List_node_base *x_first = x._M_next, *x_last = x._M_prev;
    _List_node_base *y_first = y._M_next, *y_last = y._M_prev;
    if (y_first == &y)
        close_ring(x, &x, &x);
    else
        close_ring(x, y_first, y_last);
    if (x_first == &x)
        close_ring(y, &y, &y);
    else
        close_ring(y, x_first, x_last);
}

// Moves the nodes from first up to (not including) last in front of this node.
void _List_node_base::_M_transfer(_List_node_base *first, _List_node_base *last) noexcept {
    if (this == last) return;
    _List_node_base *before_first = first->_M_prev, *final = last->_M_prev;
    before_first->_M_next = last; // close the gap they leave
    last->_M_prev = before_first;
    final->_M_next = this; // and link them in front of this
    first->_M_prev = _M_prev;
    _M_prev->_M_next = first;
    _M_prev = final;
}

void _List_node_base::_M_reverse() noexcept {
    _List_node_base *node = this;
    do {
        _List_node_base *next = node->_M_next;
        node->_M_next = node->_M_prev;
        node->_M_prev = next;
        node = next;
    } while (node != this);
}

// Links this node in front of position.
void _List_node_base::_M_hook(_List_node_base *position) noexcept {
    _M_next = position;
    _M_prev = position->_M_prev;
    position->_M_prev->_M_next = this;
    position->_M_prev = this;
}

void _List_node_base::_M_unhook() noexcept {
    _M_prev->_M_next = _M_next;
    _M_next->_M_prev = _M_prev;
}

} // namespace std::__detail
