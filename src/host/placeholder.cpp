// Placeholder until the host layer's sources land; removed then.
namespace host {}
